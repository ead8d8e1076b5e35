// The thread "Maintenance": a pass at start, then one every 24 hours after
// the previous pass ended.
#pragma once

#include <chrono>

#include "housekeeping/maintenance.h"
#include "threads/workerthread.h"

class MaintenanceThread : public WorkerThread {
  Q_OBJECT

 public:
  static constexpr const char* kConnectionName = "Maintenance";
  static constexpr std::chrono::seconds kPeriod{86400};

  MaintenanceThread(MaintenanceFolders folders, MaintenanceDependencies dependencies);
  ~MaintenanceThread() override;

 protected:
  void run() override;

 private:
  Maintenance maintenance_;
};
