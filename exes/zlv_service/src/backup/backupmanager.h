// The one entry point that starts backup runs: a run starts at once on a
// thread of its own while fewer than the limit are active, otherwise its
// request waits in a FIFO queue until a run ends. Every thread it starts is
// joined by finalize() or at the latest by its destructor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "backup/backuprequest.h"
#include "threads/threadgroup.h"

// What the manager runs: a Backup, or a stand-in in tests.
class BackupRun {
 public:
  virtual ~BackupRun() = default;
  virtual std::uint32_t run() = 0;
  virtual void requestStop(bool forUpgrade) = 0;
};

using BackupRunFactory = std::function<std::unique_ptr<BackupRun>(const BackupRequest&)>;

class BackupManager {
 public:
  // The limit on this platform when the command line does not set one.
  static constexpr unsigned kDefaultLimit = 4;

  // limit 0 means kDefaultLimit; factory makes what a request becomes.
  // Starts the dispatcher of queued requests.
  BackupManager(unsigned limit, BackupRunFactory factory);
  // Refuses new runs, stops the active ones and waits, however long it
  // takes, for every thread.
  ~BackupManager();
  BackupManager(const BackupManager&) = delete;
  BackupManager& operator=(const BackupManager&) = delete;

  // Starts or queues the job's run: 0, or KVN_E_ARGUMENTS for a job id below
  // 1. A job already active or queued is ignored with a warning.
  std::uint32_t AddBackup(const BackupRequest& request);
  // 0, or KVN_E_EXCEPTION when the job has no active run.
  std::uint32_t stop(std::int64_t jobId, bool forUpgrade);
  // Stops every active run and forgets them; each still closes its row.
  void stopAll(bool forUpgrade);
  // From now on requests are dropped; never undone.
  void refuseNewBackups();
  unsigned activeCount() const;
  bool isActive(std::int64_t jobId) const;
  // Active, or waiting in the queue.
  bool isActiveOrQueued(std::int64_t jobId) const;
  // Requests waiting for a free slot.
  unsigned queuedCount() const;

  // At process end: refuses new runs, stops the active ones and waits up to
  // limit for their threads to close their rows. False when some are still
  // running at the limit; the destructor then waits for them.
  bool finalize(std::chrono::milliseconds limit);

 private:
  bool isQueued(std::int64_t jobId) const;
  // The caller holds mutex_.
  void startRun(const BackupRequest& request);
  std::uint32_t startFromQueue(const BackupRequest& request);
  void runBody(std::shared_ptr<BackupRun> run, std::int64_t jobId);
  void dispatch();
  // On the dispatcher, lock held: gives freed pages back once the ended run
  // threads are joined.
  void releaseMemoryOfEndedRuns(std::unique_lock<std::mutex>& lock);

  const unsigned limit_;
  const BackupRunFactory factory_;
  mutable std::mutex mutex_;
  std::condition_variable runEnded_;
  std::map<std::int64_t, std::shared_ptr<BackupRun>> active_;
  std::vector<BackupRequest> queue_;
  bool refusing_ = false;
  bool quitting_ = false;
  // Set when something happened that may let a queued request start; the
  // dispatcher sleeps while it is clear, so a request whose job is still
  // running is looked at again only after the next run ends.
  bool wake_ = false;
  // Run threads not yet ended, including forgotten (stopped) ones.
  unsigned running_ = 0;
  // Set by the last run to end: the dispatcher gives the memory back.
  bool releasePending_ = false;
  ThreadGroup runs_;
  std::thread dispatcher_;
};
