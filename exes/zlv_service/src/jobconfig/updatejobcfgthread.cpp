#include "jobconfig/updatejobcfgthread.h"

#include "connection/credentials.h"
#include "database/jobconfiglock.h"
#include "jobconfig/jobdatabaseupdater.h"
#include "jobconfig/updateaction.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

UpdateJobCfgThread::UpdateJobCfgThread(JobConfigContext context, JobConfigUpdateAction& retry)
    : WorkerThread("UpdateJobCfg"), context_(std::move(context)), retry_(retry) {}

void UpdateJobCfgThread::run() {
  if (!context_.credentials->hasBoxIp()) return;
  if (!updateOnce()) retry_.launch();
  KLOG_D("UpdateCfgThread done");
}

bool UpdateJobCfgThread::updateOnce() {
  try {
    KLOG_D("UpdateCfgThread starting");
    std::lock_guard config(jobConfigMutex);
    JobDatabaseUpdater updater(kConnectionName, context_);
    std::uint32_t result = updater.initialize();
    if (result != KVN_OK) {
      KLOG_E("Error job configuration initialize 0x%08x", result);
      return false;
    }
    result = updater.updateJobs(context_.credentials->resetAgent());
    if (result != KVN_OK) {
      KLOG_E("Error job configuration updateJobs 0x%08x", result);
      return false;
    }
    return true;
  } catch (...) {
    KLOG_E("Exception received updating job configuration");
    return false;
  }
}

UpdateJobCfgThread::~UpdateJobCfgThread() { stopAndWait(); }
