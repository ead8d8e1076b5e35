// Threads that end on their own at different times and are joined by their
// owner: finished ones when the owner asks (so that the set does not grow
// with every thread ever started), the rest at the latest on destruction.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class ThreadGroup {
 public:
  ThreadGroup() = default;
  // Joins every thread.
  ~ThreadGroup();
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // Runs body on a new thread. Throws std::system_error when no thread can
  // be made.
  void start(std::function<void()> body);
  // Joins the threads whose body has returned. Never from one of them.
  void joinEnded();
  // Joins every thread, waiting for those still running.
  void joinAll();
  // Threads started and not joined yet.
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::thread::id, std::thread> threads_;
  std::vector<std::thread::id> ended_;
};
