// What a job-configuration exchange needs from its surroundings: the pairing
// data, the folder that receives the downloaded job file, and the network
// limits. The service takes them from the application; tests bring their
// own.
#pragma once

#include <QDir>

#include "zlvnetwork.h"

class Credentials;

struct JobConfigContext {
  Credentials* credentials = nullptr;
  QDir baseDir;
  ZlvNetworkSettings network;

  // The process-wide credentials and the application's data folder.
  static JobConfigContext fromApp();
};
