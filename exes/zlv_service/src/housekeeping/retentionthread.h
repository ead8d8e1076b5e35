// The thread "Retention": a first pass after the retention delay, then one
// pass every retention interval, each on the thread's own connection.
#pragma once

#include "housekeeping/retention.h"
#include "threads/workerthread.h"

class RetentionThread : public WorkerThread {
  Q_OBJECT

 public:
  static constexpr const char* kConnectionName = "Retention";

  RetentionThread(RetentionSettings settings, RetentionDependencies dependencies);
  ~RetentionThread() override;

 protected:
  void run() override;

 private:
  // Logs the wait and sleeps; false once a stop was requested.
  bool waitSeconds(qint64 seconds);
  void pass();

  RetentionSettings settings_;
  RetentionDependencies deps_;
};
