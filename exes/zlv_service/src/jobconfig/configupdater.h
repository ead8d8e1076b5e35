// Asks the box every hour where the datanode is, and hands the answer to
// the credentials store (connect newDatanode to Credentials::saveNewDatanode;
// the signal comes from a pool thread).
#pragma once

#include <QString>
#include <cstdint>

#include "connection/zlvnetwork.h"
#include "kvn_network/job_config_protocol.h"
#include "threads/periodictask.h"

class Credentials;

class ConfigUpdater : public PeriodicTask {
  Q_OBJECT

 public:
  static constexpr int kIntervalMs = 3600000;
  static constexpr std::uint32_t kClientConfigRequestType = kvn_network::kClientConfigRequestType;
  // The port of a datanode whose answer carries none.
  static constexpr int kDefaultDatanodePort = 6670;

  explicit ConfigUpdater(Credentials& credentials, ZlvNetworkSettings settings = {});
  ~ConfigUpdater() override;

 signals:
  void newDatanode(const QString& host, int port);

 protected:
  void run() override;

 private:
  Credentials& credentials_;
  ZlvNetworkSettings settings_;
};
