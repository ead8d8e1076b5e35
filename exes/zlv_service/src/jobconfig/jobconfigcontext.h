// What a job-configuration exchange needs from its surroundings: the pairing
// data, the folder that receives the downloaded job file, and the network
// limits. The application builds it; tests bring their own.
#pragma once

#include <QDir>

#include "connection/zlvnetwork.h"

class Credentials;

struct JobConfigContext {
  Credentials* credentials = nullptr;
  QDir baseDir;
  ZlvNetworkSettings network;
};
