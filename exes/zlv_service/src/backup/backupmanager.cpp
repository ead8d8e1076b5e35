#include "backup/backupmanager.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kvn_log/errors.h"
#include "kvn_log/log.h"

namespace {

struct ManagerState {
  std::mutex mutex;
  std::condition_variable runEnded;
  std::map<std::int64_t, std::shared_ptr<BackupRun>> active;
  std::vector<BackupRequest> queue;
  unsigned limit = BackupManager::kDefaultLimit;
  bool refusing = false;
  // Set when something happened that may let a queued request start; the
  // dispatcher sleeps while it is clear, so a request whose job is still
  // running is looked at again only after the next run ends.
  bool wake = false;
  // Run threads not yet ended, including forgotten (stopped) ones.
  unsigned threads = 0;
  BackupRunFactory factory;
  std::once_flag dispatcherStarted;
};

ManagerState& state() {
  static ManagerState* instance = new ManagerState;  // outlives detached threads
  return *instance;
}

bool isQueued(const ManagerState& s, std::int64_t jobId) {
  for (const auto& request : s.queue) {
    if (request.jobId == jobId) return true;
  }
  return false;
}

void runBody(std::shared_ptr<BackupRun> run, std::int64_t jobId) {
  const std::uint32_t result = run->run();
  if (result != KVN_OK) KLOG_E("Error executing backup: %d", int(result));
  auto& s = state();
  std::lock_guard lock(s.mutex);
  const auto entry = s.active.find(jobId);
  // Only this run's own entry: after a stop of all runs the job may have
  // been started again, and that run is still active.
  if (entry != s.active.end() && entry->second == run) {
    s.active.erase(entry);
  } else {
    KLOG_W("backup (job_id=%lld) not found", static_cast<long long>(jobId));
  }
  run.reset();  // closes the run's row
  --s.threads;
  s.wake = true;
  s.runEnded.notify_all();
}

// Under the mutex.
void startRun(ManagerState& s, const BackupRequest& request) {
  std::shared_ptr<BackupRun> run = s.factory(request);
  s.active[request.jobId] = run;
  ++s.threads;
  std::thread(runBody, std::move(run), request.jobId).detach();
}

// Under the mutex.
std::uint32_t startFromQueue(ManagerState& s, const BackupRequest& request) {
  if (request.jobId <= 0) {
    KLOG_E("Error: arguments");
    return KVN_E_ARGUMENTS;
  }
  if (s.refusing) return KVN_OK;
  try {
    if (s.active.size() < s.limit) {
      if (s.active.count(request.jobId)) {
        if (!isQueued(s, request.jobId)) s.queue.push_back(request);
      } else {
        startRun(s, request);
      }
    } else if (!isQueued(s, request.jobId)) {
      s.queue.push_back(request);
    }
  } catch (const std::exception& e) {
    KLOG_E("Error: %s", e.what());
    return KVN_E_ARGUMENTS;
  }
  return KVN_OK;
}

void dispatch() {
  auto& s = state();
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.runEnded.wait(lock, [&] { return s.wake && s.active.size() < s.limit && !s.queue.empty(); });
    s.wake = false;
    // Each request waiting now gets one look; those whose job still runs go
    // back to the queue until the next wake.
    for (auto pending = s.queue.size(); pending > 0 && !s.queue.empty(); --pending) {
      if (s.active.size() >= s.limit) break;
      const BackupRequest request = s.queue.front();
      s.queue.erase(s.queue.begin());
      startFromQueue(s, request);
    }
  }
}

}  // namespace

namespace BackupManager {

std::uint32_t initialize(unsigned limit, BackupRunFactory factory) {
  auto& s = state();
  {
    std::lock_guard lock(s.mutex);
    s.limit = limit == 0 ? kDefaultLimit : limit;
    s.factory = std::move(factory);
    s.active.clear();
    s.queue.clear();
  }
  std::call_once(s.dispatcherStarted, [] { std::thread(dispatch).detach(); });
  return KVN_OK;
}

std::uint32_t reset() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.active.clear();
  s.queue.clear();
  return KVN_OK;
}

std::uint32_t AddBackup(const BackupRequest& request) {
  if (request.jobId < 1) {
    KLOG_E("Error: arguments");
    return KVN_E_ARGUMENTS;
  }
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (s.refusing) return KVN_OK;
  if (s.active.count(request.jobId) || isQueued(s, request.jobId)) {
    KLOG_W("AddBackup: the job %d is already active or queued, ignored", int(request.jobId));
  } else if (s.active.size() < s.limit) {
    startRun(s, request);
  } else {
    s.queue.push_back(request);
    s.wake = true;
    s.runEnded.notify_all();
  }
  return KVN_OK;
}

std::uint32_t stop(std::int64_t jobId, bool forUpgrade) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  const auto entry = s.active.find(jobId);
  if (entry == s.active.end()) {
    KLOG_E("backup (job_id=%lld) not found", static_cast<long long>(jobId));
    return KVN_E_EXCEPTION;
  }
  entry->second->requestStop(forUpgrade);
  return KVN_OK;
}

void stopAll(bool forUpgrade) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  try {
    for (const auto& [jobId, run] : s.active) {
      KLOG_I("stopping backup (job_id=%lld) - (%s)", static_cast<long long>(jobId),
             forUpgrade ? "upgrade" : "user");
      run->requestStop(forUpgrade);
    }
  } catch (const std::exception& e) {
    KLOG_E("cannot stop all backups: %s", e.what());
  } catch (...) {
    KLOG_E("cannot stop all backups: unknown exception");
  }
  s.active.clear();
  s.wake = true;
  s.runEnded.notify_all();
}

void refuseNewBackups() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.refusing = true;
}

unsigned activeCount() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return unsigned(s.active.size());
}

bool isActive(std::int64_t jobId) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.active.count(jobId) != 0;
}

bool isActiveOrQueued(std::int64_t jobId) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.active.count(jobId) != 0 || isQueued(s, jobId);
}

unsigned queuedCount() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return unsigned(s.queue.size());
}

}  // namespace BackupManager

namespace BackupManager {

bool finalize(std::chrono::milliseconds limit) {
  refuseNewBackups();
  stopAll(false);
  auto& s = state();
  std::unique_lock lock(s.mutex);
  return s.runEnded.wait_for(lock, limit, [&] { return s.threads == 0; });
}

}  // namespace BackupManager
