// The lock of a record that several threads write and tests read, with a
// way to wait until the recorded state satisfies a condition.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace boxsim {

class WatchedState {
 public:
  // Runs f under the lock and wakes the waiters.
  template <typename F>
  void change(F f) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      f();
      ++generation_;
    }
    changed_.notify_all();
  }

  // f's result, taken under the lock.
  template <typename F>
  auto read(F f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }

  // Waits until done() holds, the time has passed or shutDown() was called;
  // returns done()'s last value. done() runs unlocked, so it may read
  // through the record's locking accessors.
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) const;

  // Wakes every waiter; later waits return at once.
  void shutDown();

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::uint64_t generation_ = 0;
  bool shutDown_ = false;
};

}  // namespace boxsim
