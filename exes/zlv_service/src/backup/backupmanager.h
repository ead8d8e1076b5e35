// The one entry point that starts backup runs: a run starts at once on a
// thread of its own while fewer than the limit are active, otherwise its
// request waits in a FIFO queue until a run ends. Process-wide state behind
// free functions, one mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "backup/backuprequest.h"

// What the manager runs: a Backup, or a stand-in in tests.
class BackupRun {
 public:
  virtual ~BackupRun() = default;
  virtual std::uint32_t run() = 0;
  virtual void requestStop(bool forUpgrade) = 0;
};

using BackupRunFactory = std::function<std::unique_ptr<BackupRun>(const BackupRequest&)>;

namespace BackupManager {

// The limit on this platform when the command line does not set one.
inline constexpr unsigned kDefaultLimit = 4;

// Sets the limit (0 means kDefaultLimit) and what a request becomes,
// empties the active map and the queue, and starts the dispatcher once per
// process.
std::uint32_t initialize(unsigned limit, BackupRunFactory factory);
std::uint32_t reset();

// Starts or queues the job's run: 0, or KVN_E_ARGUMENTS for a job id below
// 1. A job already active or queued is ignored with a warning.
std::uint32_t AddBackup(const BackupRequest& request);
// 0, or KVN_E_EXCEPTION when the job has no active run.
std::uint32_t stop(std::int64_t jobId, bool forUpgrade);
// Stops every active run and forgets them; each still closes its row.
void stopAll(bool forUpgrade);
// From now on requests are dropped; never undone.
void refuseNewBackups();
unsigned activeCount();
bool isActive(std::int64_t jobId);
// Active, or waiting in the queue.
bool isActiveOrQueued(std::int64_t jobId);
// Requests waiting for a free slot.
unsigned queuedCount();

// At process end: refuses new runs, stops the active ones and waits up to
// limit for their threads to close their rows. False when some are still
// running at the limit.
bool finalize(std::chrono::milliseconds limit);

}  // namespace BackupManager
