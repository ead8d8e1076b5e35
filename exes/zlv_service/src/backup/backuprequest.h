// What starting a backup run takes: the job, how to reach the box, and the
// agent's folders and credentials.
#pragma once

#include <QDir>
#include <cstdint>
#include <functional>
#include <vector>

#include "connection/zlvnetwork.h"
#include "kvn_snapshot/volume_list.h"

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
  // Makes the run's box connection; null: one to the credentials' box or
  // datanode.
  NetworkFactory connect;
  // Restorations and deletions the run waits for; none when null.
  FileOperationGate* fileOperations = nullptr;
  // The machine's volumes for system images; null: the volume list of
  // kvn_snapshot.
  std::function<std::vector<kvn_snapshot::VolumeRecord>()> listVolumes;
};
