#include "threads/workerthread.h"

WorkerThread::WorkerThread(const QString& name) { setObjectName(name); }

WorkerThread::~WorkerThread() { stopAndWait(); }

void WorkerThread::stopAndWait() {
  requestStop();
  wait();
  // Qt reports the thread's end through its own synchronisation; taking the
  // mutex the loop released last makes that order visible to the thread
  // sanitizer as well.
  std::lock_guard lock(mutex_);
}

void WorkerThread::requestStop() {
  std::lock_guard lock(mutex_);
  stop_ = true;
  wake_.notify_all();
}

bool WorkerThread::stopRequested() const {
  std::lock_guard lock(mutex_);
  return stop_;
}

bool WorkerThread::sleepFor(std::chrono::milliseconds period) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, period, [this] { return stop_; });
  return !stop_;
}
