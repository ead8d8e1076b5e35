#include "housekeeping/maintenancethread.h"

#include <utility>

#include "database/scopedconnection.h"
#include "kvn_log/log.h"

MaintenanceThread::MaintenanceThread(MaintenanceFolders folders,
                                     MaintenanceDependencies dependencies)
    : WorkerThread(kConnectionName), maintenance_(std::move(folders), std::move(dependencies)) {}

MaintenanceThread::~MaintenanceThread() { stopAndWait(); }

void MaintenanceThread::run() {
  KLOG_D("MaintenanceThread starting");
  do {
    kvn_agent_database::ScopedConnection connection(kConnectionName);
    if (connection.isOpen()) {
      maintenance_.runPass(connection.db());
    } else {
      KLOG_E("Cannot open database for maintenance");
    }
  } while (sleepFor(kPeriod));
}
