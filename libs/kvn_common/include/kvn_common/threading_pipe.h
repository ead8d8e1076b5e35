// Moves the rest of the chain onto a worker thread, so that the producer can
// read the next block while the elements behind this pipe work on the last
// one. The producer runs at most one block ahead of the worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "kvn_common/stream.h"

namespace kvn_common {

class ThreadingPipe : public StreamLink {
 public:
  // Starts the worker.
  ThreadingPipe();
  ~ThreadingPipe() override;
  ThreadingPipe(const ThreadingPipe&) = delete;
  ThreadingPipe& operator=(const ThreadingPipe&) = delete;

  // Copies the bytes into the hand-off slot once the worker has taken the
  // previous block. An exception thrown downstream on the worker is
  // rethrown here, at the producer's next write or at end().
  void write(const char* data, std::uint32_t size) override;
  // Waits until the worker has passed every block on, stops it, then ends
  // the next element on the caller's thread.
  void end() override;

 private:
  void run();
  void joinAndRethrow();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<char> slot_;
  std::uint32_t slotSize_ = 0;
  bool ready_ = false;  // the slot holds a block the worker has not taken yet
  bool busy_ = false;   // the worker is passing a block on
  bool stop_ = false;
  std::atomic<bool> exited_{false};
  std::exception_ptr error_;
  std::thread worker_;
};

}  // namespace kvn_common
