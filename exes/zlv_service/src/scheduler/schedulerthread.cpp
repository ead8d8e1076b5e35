#include "scheduler/schedulerthread.h"

#include <utility>

#include "kvn_log/log.h"

SchedulerThread::SchedulerThread(BackupHandOver handOver, std::unique_ptr<SchedulerClock> clock)
    : WorkerThread(Scheduler::kConnectionName),
      handOver_(std::move(handOver)),
      clock_(std::move(clock)) {}

void SchedulerThread::run() {
  KLOG_D("SchedulerThread starting");
  // Made here: its database connection belongs to this thread.
  Scheduler scheduler(*clock_);
  do {
    scheduler.runPass(handOver_);
  } while (sleepFor(scheduler.untilNextMinute()));
}

SchedulerThread::~SchedulerThread() { stopAndWait(); }
