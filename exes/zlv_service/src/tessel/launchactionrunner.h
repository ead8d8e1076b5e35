// The threads of the launch actions. Each action answers the box at once and
// does its work on a thread of its own; the runner keeps those threads,
// joins the finished ones as new ones start, and at shutdown refuses new
// work and waits for the rest, so that no action runs after the objects it
// uses are gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

class LaunchActionRunner {
 public:
  LaunchActionRunner() = default;
  // Shuts down.
  ~LaunchActionRunner();
  LaunchActionRunner(const LaunchActionRunner&) = delete;
  LaunchActionRunner& operator=(const LaunchActionRunner&) = delete;

  // Runs work on a new thread. False, and nothing runs, after shutdown.
  bool start(std::function<void()> work);

  // Refuses new work and waits for every thread to end.
  void shutdown();

  // Waits until no work runs; false when some still runs after timeout.
  bool waitIdle(std::chrono::milliseconds timeout);

  // Threads whose work has not ended yet.
  std::size_t running() const;

 private:
  struct Worker {
    std::thread thread;
    bool done = false;
  };
  void runWorker(Worker* worker, const std::function<void()>& work);
  // Takes the finished workers out of the list, to be joined unlocked.
  std::list<Worker> takeFinished();

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::list<Worker> workers_;
  std::size_t running_ = 0;
  bool shutDown_ = false;
};
