#include "kvn_common/threading_pipe.h"

#include <cstring>

#include "kvn_log/exception.h"

namespace kvn_common {

ThreadingPipe::ThreadingPipe() : worker_([this] { run(); }) {}

ThreadingPipe::~ThreadingPipe() {
  if (!worker_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void ThreadingPipe::run() {
  std::vector<char> block;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ready_ || stop_; });
    if (!ready_) break;
    // Taking the block out frees the slot, so the producer can fill it
    // while this block travels on.
    block.swap(slot_);
    const std::uint32_t size = slotSize_;
    ready_ = false;
    busy_ = true;
    changed_.notify_all();
    lock.unlock();
    std::exception_ptr error;
    try {
      forward().write(block.data(), size);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    busy_ = false;
    if (error) {
      error_ = error;
      break;
    }
    changed_.notify_all();
  }
  exited_ = true;
  changed_.notify_all();
}

void ThreadingPipe::write(const char* data, std::uint32_t size) {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !ready_ || exited_; });
    if (!exited_) {
      if (slot_.size() < size) slot_.resize(size);
      if (size != 0) std::memcpy(slot_.data(), data, size);
      slotSize_ = size;
      ready_ = true;
      changed_.notify_all();
      return;
    }
  }
  joinAndRethrow();
  throw KvnCommonException(KVN_HERE, KVN_E_EXCEPTION, "ThreadingPipe: thread exited early");
}

void ThreadingPipe::end() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return (!ready_ && !busy_) || exited_; });
    stop_ = true;
  }
  changed_.notify_all();
  joinAndRethrow();
  forward().end();
}

void ThreadingPipe::joinAndRethrow() {
  if (worker_.joinable()) {
    if (worker_.get_id() == std::this_thread::get_id()) {
      throw KvnCommonException(KVN_HERE, "ThreadingPipe: cannot join its own worker");
    }
    worker_.join();
  }
  if (error_) std::rethrow_exception(error_);
}

}  // namespace kvn_common
