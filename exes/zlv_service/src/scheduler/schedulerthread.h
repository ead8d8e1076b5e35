// The thread "Scheduler": one scheduler pass at every full minute for the
// life of the service. The service never stops it; a stop request (see
// WorkerThread) ends the wait between passes, for tests and an orderly
// teardown.
#pragma once

#include <memory>

#include "scheduler/scheduler.h"
#include "scheduler/schedulerclock.h"
#include "threads/workerthread.h"

class SchedulerThread : public WorkerThread {
  Q_OBJECT

 public:
  explicit SchedulerThread(BackupHandOver handOver,
                           std::unique_ptr<SchedulerClock> clock = std::make_unique<SystemClock>());

  // Stops and waits here, while the members run() uses still exist.
  ~SchedulerThread() override;

 protected:
  void run() override;

 private:
  BackupHandOver handOver_;
  std::unique_ptr<SchedulerClock> clock_;
};
