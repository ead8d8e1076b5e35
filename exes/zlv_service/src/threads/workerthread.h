// Base of the agent's long-lived worker threads. The object name names the
// thread and its database connection. Loops sleep through sleepFor(), which
// returns early once a stop is requested, so that the owner can end the
// thread in order instead of abandoning it.
#pragma once

#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <chrono>

class WorkerThread : public QThread {
  Q_OBJECT

 public:
  explicit WorkerThread(const QString& name);
  // Requests a stop and waits for run() to return.
  ~WorkerThread() override;

  void requestStop();
  bool stopRequested() const;

 protected:
  // A subclass whose run() uses its own members calls this from its
  // destructor: by the time the base destructor waits, they are gone.
  void stopAndWait();

  // Sleeps for period; returns false when a stop was requested before or
  // during the sleep.
  bool sleepFor(std::chrono::milliseconds period);

 private:
  mutable QMutex mutex_;
  QWaitCondition wake_;
  bool stop_ = false;
};
