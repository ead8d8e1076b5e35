#include "jobconfig/updateaction.h"

#include "database/jobconfiglock.h"
#include "jobconfig/jobdatabaseupdater.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

JobConfigUpdateAction::JobConfigUpdateAction(std::function<JobConfigContext()> context,
                                             std::chrono::milliseconds retryInterval)
    : context_(std::move(context)), retryInterval_(retryInterval) {}

JobConfigUpdateAction::~JobConfigUpdateAction() { stop(); }

std::uint32_t JobConfigUpdateAction::launch() {
  KLOG_D("LaunchActionUPDATEThreadFn starting");
  std::thread finished;
  {
    std::lock_guard lock(mutex_);
    if (running_) {
      KLOG_D("LaunchActionUPDATEThreadFn is already running");
      requested_ = true;
      wake_.notify_all();
      return KVN_OK;
    }
    running_ = true;
    requested_ = false;
    stopping_ = false;
    // A thread that ended by itself is still joinable; it is reaped here.
    finished.swap(thread_);
    thread_ = std::thread([this] { threadMain(); });
  }
  if (finished.joinable()) finished.join();
  return KVN_OK;
}

void JobConfigUpdateAction::stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    // Called from the thread itself, it cannot wait for itself: the thread
    // ends after this pass, and stays here for the next launch(), stop()
    // or the destructor to join.
    if (thread_.get_id() == std::this_thread::get_id()) return;
    thread.swap(thread_);
  }
  if (thread.joinable()) thread.join();
  std::lock_guard lock(mutex_);
  stopping_ = false;
}

bool JobConfigUpdateAction::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

int JobConfigUpdateAction::passes() const {
  std::lock_guard lock(mutex_);
  return passes_;
}

void JobConfigUpdateAction::threadMain() {
  std::uint32_t result = runPass();
  while (nextPassDue(result)) result = runPass();
  std::lock_guard lock(mutex_);
  running_ = false;
  if (result == KVN_OK) {
    KLOG_D("LaunchActionUPDATEThreadFn done");
  } else {
    KLOG_D("LaunchActionUPDATEThreadFn stopped before an update succeeded");
  }
}

bool JobConfigUpdateAction::nextPassDue(std::uint32_t result) {
  std::unique_lock lock(mutex_);
  if (stopping_) return false;
  if (!requested_) {
    if (result == KVN_OK) return false;
    wake_.wait_for(lock, retryInterval_, [this] { return stopping_ || requested_; });
    if (stopping_) return false;
  }
  requested_ = false;
  return true;
}

std::uint32_t JobConfigUpdateAction::runPass() {
  std::uint32_t result = KVN_OK;
  try {
    std::lock_guard config(jobConfigMutex);
    JobDatabaseUpdater updater(kConnectionName, context_());
    result = updater.initialize();
    if (result != KVN_OK) {
      KLOG_E("updater.initialize error 0x%08x", result);
    } else {
      result = updater.updateJobs(false);
      if (result != KVN_OK) KLOG_E("updater.updateJobs error 0x%08x", result);
    }
  } catch (...) {
    KLOG_E("Exception received updating job configuration");
    result = KVN_E_EXCEPTION;
  }
  std::lock_guard lock(mutex_);
  ++passes_;
  return result;
}
