// Work repeated at a fixed interval. The timer lives on the thread that owns
// the task (the main thread); each run goes to the global thread pool.
#pragma once

#include <QTimer>
#include <atomic>

class PeriodicTask : public QTimer {
  Q_OBJECT

 public:
  PeriodicTask();
  // Waits for a run in progress. A subclass whose run() uses its own members
  // must call stopAndWait() in its destructor, before those members go.
  ~PeriodicTask() override;

  // Starts the timer and queues a first run, which happens as soon as the
  // owner's event loop runs.
  void startPeriodic(int intervalMs);

  bool isRunning() const { return running_.load() != 0; }

 signals:
  // Emitted after every run that returned normally.
  void taskDone();

 public slots:
  // Hands one run to the global thread pool and returns at once. A run that
  // is due while the previous one is still executing is skipped, so that
  // runs of one task never overlap.
  void runTaskAsync();

 protected:
  virtual void run() = 0;

  // Stops the timer, keeps new runs from starting and waits until no run is
  // executing or queued.
  void stopAndWait();

 private:
  void runTask();

  std::atomic<int> running_{0};
  // Runs handed to the pool and not yet finished; the pool keeps a pointer
  // to this object until then.
  std::atomic<int> inFlight_{0};
  std::atomic<bool> stopping_{false};
};
