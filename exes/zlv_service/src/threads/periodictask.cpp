#include "threads/periodictask.h"

#include <QThread>
#include <QThreadPool>
#include <exception>

#include "kvn_log/log.h"

PeriodicTask::PeriodicTask() { connect(this, &QTimer::timeout, this, &PeriodicTask::runTaskAsync); }

PeriodicTask::~PeriodicTask() { stopAndWait(); }

void PeriodicTask::startPeriodic(int intervalMs) {
  start(intervalMs);
  QMetaObject::invokeMethod(this, &PeriodicTask::runTaskAsync, Qt::QueuedConnection);
}

void PeriodicTask::runTaskAsync() {
  if (stopping_.load()) return;
  inFlight_.fetch_add(1);
  QThreadPool::globalInstance()->start([this] {
    runTask();
    inFlight_.fetch_sub(1);
  });
}

void PeriodicTask::runTask() {
  if (stopping_.load()) return;
  if (running_.exchange(1) != 0) {
    KLOG_D("%s: the previous run is still executing, this one is skipped",
           metaObject()->className());
    return;
  }
  bool completed = false;
  try {
    run();
    completed = true;
  } catch (const std::exception& e) {
    KLOG_E("%s: run ended with an exception: %s", metaObject()->className(), e.what());
  } catch (...) {
    KLOG_E("%s: run ended with an unknown exception", metaObject()->className());
  }
  // Cleared before taskDone, so that a run started from a taskDone handler
  // is not taken for an overlap.
  running_.exchange(0);
  if (completed) emit taskDone();
}

void PeriodicTask::stopAndWait() {
  stopping_.store(true);
  if (QThread::currentThread() == thread()) stop();
  while (inFlight_.load() != 0) QThread::yieldCurrentThread();
}
