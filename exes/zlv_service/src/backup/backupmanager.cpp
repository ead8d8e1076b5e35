#include "backup/backupmanager.h"

#include <algorithm>

#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_platform/process_setup.h"

BackupManager::BackupManager(unsigned limit, BackupRunFactory factory)
    : limit_(limit == 0 ? kDefaultLimit : limit), factory_(std::move(factory)) {
  dispatcher_ = std::thread([this] { dispatch(); });
}

BackupManager::~BackupManager() {
  refuseNewBackups();
  stopAll(false);
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  runEnded_.notify_all();
  dispatcher_.join();
  runs_.joinAll();
}

bool BackupManager::isQueued(std::int64_t jobId) const {
  for (const auto& request : queue_) {
    if (request.jobId == jobId) return true;
  }
  return false;
}

void BackupManager::runBody(std::shared_ptr<BackupRun> run, std::int64_t jobId) {
  const std::uint32_t result = run->run();
  if (result != KVN_OK) KLOG_E("Error executing backup: %d", int(result));
  {
    std::lock_guard lock(mutex_);
    const auto entry = active_.find(jobId);
    // Only this run's own entry: after a stop of all runs the job may have
    // been started again, and that run is still active.
    if (entry != active_.end() && entry->second == run) {
      active_.erase(entry);
    } else {
      KLOG_W("backup (job_id=%lld) not found", static_cast<long long>(jobId));
    }
    run.reset();  // closes the run's row
    --running_;
    if (running_ == 0 && queue_.empty()) releasePending_ = true;
    wake_ = true;
    runEnded_.notify_all();
  }
}

void BackupManager::releaseMemoryOfEndedRuns(std::unique_lock<std::mutex>& lock) {
  // A run's thread frees its own state (its database connection, the TLS
  // library's per-thread state) only as it exits, after the run ended, and
  // the allocator would keep those pages until the next run: give them back
  // once the thread is joined, however long a loaded machine takes to end
  // it. A run that starts meanwhile ends the wait.
  auto pause = std::chrono::milliseconds(5);
  while (!quitting_ && running_ == 0) {
    lock.unlock();
    runs_.joinEnded();
    const bool joined = runs_.size() == 0;
    if (joined) kvn_platform::releaseFreeMemory();
    lock.lock();
    if (joined) return;
    runEnded_.wait_for(lock, pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(200));
  }
}

void BackupManager::startRun(const BackupRequest& request) {
  std::shared_ptr<BackupRun> run = factory_(request);
  // Threads of runs that ended are joined here, so that their number stays
  // near the limit however long the process runs.
  runs_.joinEnded();
  runs_.start([this, run, jobId = request.jobId]() mutable { runBody(std::move(run), jobId); });
  active_[request.jobId] = std::move(run);
  ++running_;
}

std::uint32_t BackupManager::startFromQueue(const BackupRequest& request) {
  if (request.jobId <= 0) {
    KLOG_E("Error: arguments");
    return KVN_E_ARGUMENTS;
  }
  if (refusing_) return KVN_OK;
  try {
    if (active_.size() < limit_) {
      if (active_.count(request.jobId)) {
        if (!isQueued(request.jobId)) queue_.push_back(request);
      } else {
        startRun(request);
      }
    } else if (!isQueued(request.jobId)) {
      queue_.push_back(request);
    }
  } catch (const std::exception& e) {
    KLOG_E("Error: %s", e.what());
    return KVN_E_ARGUMENTS;
  }
  return KVN_OK;
}

void BackupManager::dispatch() {
  std::unique_lock lock(mutex_);
  for (;;) {
    runEnded_.wait(lock, [&] {
      return quitting_ || releasePending_ || (wake_ && active_.size() < limit_ && !queue_.empty());
    });
    if (quitting_) return;
    if (releasePending_) {
      releasePending_ = false;
      releaseMemoryOfEndedRuns(lock);
      continue;
    }
    wake_ = false;
    // Each request waiting now gets one look; those whose job still runs go
    // back to the queue until the next wake.
    for (auto pending = queue_.size(); pending > 0 && !queue_.empty(); --pending) {
      if (active_.size() >= limit_) break;
      const BackupRequest request = queue_.front();
      queue_.erase(queue_.begin());
      startFromQueue(request);
    }
  }
}

std::uint32_t BackupManager::AddBackup(const BackupRequest& request) {
  if (request.jobId < 1) {
    KLOG_E("Error: arguments");
    return KVN_E_ARGUMENTS;
  }
  std::lock_guard lock(mutex_);
  if (refusing_) return KVN_OK;
  if (active_.count(request.jobId) || isQueued(request.jobId)) {
    KLOG_W("AddBackup: the job %d is already active or queued, ignored", int(request.jobId));
  } else if (active_.size() < limit_) {
    try {
      startRun(request);
    } catch (const std::exception& e) {
      KLOG_E("Error: %s", e.what());
      return KVN_E_EXCEPTION;
    }
  } else {
    queue_.push_back(request);
    wake_ = true;
    runEnded_.notify_all();
  }
  return KVN_OK;
}

std::uint32_t BackupManager::stop(std::int64_t jobId, bool forUpgrade) {
  std::lock_guard lock(mutex_);
  const auto entry = active_.find(jobId);
  if (entry == active_.end()) {
    KLOG_E("backup (job_id=%lld) not found", static_cast<long long>(jobId));
    return KVN_E_EXCEPTION;
  }
  entry->second->requestStop(forUpgrade);
  return KVN_OK;
}

void BackupManager::stopAll(bool forUpgrade) {
  std::lock_guard lock(mutex_);
  try {
    for (const auto& [jobId, run] : active_) {
      KLOG_I("stopping backup (job_id=%lld) - (%s)", static_cast<long long>(jobId),
             forUpgrade ? "upgrade" : "user");
      run->requestStop(forUpgrade);
    }
  } catch (const std::exception& e) {
    KLOG_E("cannot stop all backups: %s", e.what());
  } catch (...) {
    KLOG_E("cannot stop all backups: unknown exception");
  }
  active_.clear();
  wake_ = true;
  runEnded_.notify_all();
}

void BackupManager::refuseNewBackups() {
  std::lock_guard lock(mutex_);
  refusing_ = true;
}

unsigned BackupManager::activeCount() const {
  std::lock_guard lock(mutex_);
  return unsigned(active_.size());
}

bool BackupManager::isActive(std::int64_t jobId) const {
  std::lock_guard lock(mutex_);
  return active_.count(jobId) != 0;
}

bool BackupManager::isActiveOrQueued(std::int64_t jobId) const {
  std::lock_guard lock(mutex_);
  return active_.count(jobId) != 0 || isQueued(jobId);
}

unsigned BackupManager::queuedCount() const {
  std::lock_guard lock(mutex_);
  return unsigned(queue_.size());
}

bool BackupManager::finalize(std::chrono::milliseconds limit) {
  refuseNewBackups();
  stopAll(false);
  std::unique_lock lock(mutex_);
  const bool ended = runEnded_.wait_for(lock, limit, [&] { return running_ == 0; });
  lock.unlock();
  if (ended) runs_.joinAll();
  return ended;
}
