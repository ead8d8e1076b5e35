// Base of the agent's long-lived worker threads. The object name names the
// thread and its database connection. Loops sleep through sleepFor(), which
// returns early once a stop is requested, so that the owner can end the
// thread in order instead of abandoning it.
#pragma once

#include <QThread>
#include <chrono>
#include <condition_variable>
#include <mutex>

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
  // Standard primitives rather than Qt's: the thread sanitizer sees them
  // whole, while Qt's wait condition works inside the unannotated library.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
};
