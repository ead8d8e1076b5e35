#include "batch_reader.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kvn_snapshot {

BatchReader::BatchReader(int fd) : fd_(fd), helper_([this] { helperLoop(); }) {}

BatchReader::~BatchReader() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  cond_.notify_all();
  helper_.join();
}

void BatchReader::read(std::span<BlockRead> blocks, const AfterRead& afterRead) {
  {
    std::lock_guard lock(mutex_);
    batch_ = blocks;
    afterRead_ = &afterRead;
    error_ = nullptr;
    next_ = 0;
    unfinished_ = blocks.size();
    ++generation_;
  }
  cond_.notify_all();
  readClaimed();
  std::unique_lock lock(mutex_);
  cond_.wait(lock, [this] { return unfinished_ == 0; });
  // A helper that wakes late finds nothing left to claim.
  batch_ = {};
  next_ = 0;
  afterRead_ = nullptr;
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void BatchReader::helperLoop() {
  std::uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    cond_.wait(lock, [&] { return quit_ || generation_ != seen; });
    if (quit_) return;
    seen = generation_;
    lock.unlock();
    readClaimed();
    lock.lock();
  }
}

void BatchReader::readClaimed() {
  for (;;) {
    BlockRead* block = nullptr;
    std::size_t index = 0;
    const AfterRead* afterRead = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (next_ >= batch_.size()) return;
      index = next_++;
      block = &batch_[index];
      afterRead = afterRead_;
    }
    readOne(*block);
    std::exception_ptr error;
    if (block->complete()) {
      try {
        (*afterRead)(index);
      } catch (...) {
        error = std::current_exception();
      }
    }
    bool last = false;
    {
      std::lock_guard lock(mutex_);
      if (error && !error_) error_ = error;
      last = --unfinished_ == 0;
    }
    if (last) cond_.notify_all();
  }
}

void BatchReader::readOne(BlockRead& block) const {
  block.got = 0;
  block.error = 0;
  while (block.got < block.length) {
    const ssize_t n = ::pread(fd_, block.buffer + block.got, block.length - block.got,
                              static_cast<off_t>(block.offset + block.got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      block.error = n < 0 ? errno : 0;
      return;
    }
    block.got += static_cast<std::uint64_t>(n);
  }
}

}  // namespace kvn_snapshot
