// Reads the blocks of one traversal batch into their buffers on two
// threads: the caller's and a helper the object owns. Copying from the page
// cache is the larger part of reading a volume, and a consumer with little
// to do per block (a delta, where most blocks are unchanged) would otherwise
// wait for one core doing all of it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace kvn_snapshot {

// One block to read: length bytes at offset into buffer.
struct BlockRead {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint8_t* buffer = nullptr;
  // Filled by the read: the bytes read, and errno when a read failed.
  std::uint64_t got = 0;
  int error = 0;

  bool complete() const { return got == length; }
};

class BatchReader {
 public:
  // fd stays open while the object lives.
  explicit BatchReader(int fd);
  ~BatchReader();
  BatchReader(const BatchReader&) = delete;
  BatchReader& operator=(const BatchReader&) = delete;

  // Called for every block read whole, on the thread that read it, while
  // its bytes are still in that processor's caches.
  using AfterRead = std::function<void(std::size_t index)>;

  // Reads every block, whichever fails; the caller looks at each result.
  // What afterRead throws comes out of read() once both threads are done.
  void read(std::span<BlockRead> blocks, const AfterRead& afterRead);

 private:
  void helperLoop();
  // Reads unclaimed blocks of the current batch until none is left.
  void readClaimed();
  void readOne(BlockRead& block) const;

  const int fd_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::span<BlockRead> batch_;
  const AfterRead* afterRead_ = nullptr;
  std::exception_ptr error_;
  std::size_t next_ = 0;        // the first block nobody has claimed
  std::size_t unfinished_ = 0;  // claimed or not, not yet read
  std::uint64_t generation_ = 0;
  bool quit_ = false;
  std::thread helper_;
};

}  // namespace kvn_snapshot
