#include "housekeeping/retentionthread.h"

#include <chrono>
#include <utility>

#include "database/scopedconnection.h"
#include "kvn_log/log.h"

RetentionThread::RetentionThread(RetentionSettings settings, RetentionDependencies dependencies)
    : WorkerThread(kConnectionName), settings_(settings), deps_(std::move(dependencies)) {}

RetentionThread::~RetentionThread() { stopAndWait(); }

bool RetentionThread::waitSeconds(qint64 seconds) {
  KLOG_D("Next retention check in %ld seconds / %ld hours", long(seconds), long(seconds / 3600));
  return sleepFor(std::chrono::seconds(seconds < 0 ? 0 : seconds));
}

void RetentionThread::pass() {
  kvn_agent_database::ScopedConnection connection(kConnectionName);
  if (!connection.isOpen()) {
    KLOG_E("Cannot open database for retention");
    return;
  }
  KLOG_I("Checking retention");
  Retention retention(connection.db(), settings_, deps_);
  if (retention.checkRetention() != 0) {
    KLOG_E("Retention check ended in error");
  } else {
    KLOG_I("Checking retention end");
  }
}

void RetentionThread::run() {
  KLOG_D("RetentionThread starting");
  if (!waitSeconds(settings_.delay)) return;
  do {
    pass();
  } while (waitSeconds(settings_.interval));
}
