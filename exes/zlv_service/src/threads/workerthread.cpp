#include "threads/workerthread.h"

#include <QDeadlineTimer>

WorkerThread::WorkerThread(const QString& name) { setObjectName(name); }

WorkerThread::~WorkerThread() { stopAndWait(); }

void WorkerThread::stopAndWait() {
  requestStop();
  wait();
}

void WorkerThread::requestStop() {
  QMutexLocker lock(&mutex_);
  stop_ = true;
  wake_.wakeAll();
}

bool WorkerThread::stopRequested() const {
  QMutexLocker lock(&mutex_);
  return stop_;
}

bool WorkerThread::sleepFor(std::chrono::milliseconds period) {
  QMutexLocker lock(&mutex_);
  QDeadlineTimer deadline(period);
  while (!stop_ && !deadline.hasExpired()) wake_.wait(&mutex_, deadline);
  return !stop_;
}
