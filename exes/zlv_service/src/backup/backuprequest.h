// What starting a backup run takes: the job, how to reach the box, and the
// agent's folders and credentials.
#pragma once

#include <QDir>
#include <cstdint>

#include "connection/zlvnetwork.h"

class Credentials;
class FileOperationGate;

struct BackupRequest {
  std::int64_t jobId = 0;
  // Whether the run may fall back to the datanode when no box answers.
  bool allowDatanode = false;
};

struct BackupEnvironment {
  QDir signaturesDir;
  // Where pre- and post-backup scripts are written to be run.
  QDir workerDir;
  const Credentials* credentials = nullptr;
  ZlvNetworkSettings network;
  // Restorations and deletions the run waits for; none when null.
  FileOperationGate* fileOperations = nullptr;
};
