// The end of a chain that collects the bytes in memory, in a ring buffer that
// a consumer drains from the front while the chain appends at the back.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "kvn_common/stream.h"

namespace kvn_common {

// Thrown when the buffer would have to grow beyond kMaxCapacity or the
// memory for growing cannot be had.
inline constexpr std::uint32_t KVN_E_BUFFER_LIMIT = 0x10800002;

class BufferSink : public StreamSink {
 public:
  static constexpr std::uint64_t kMaxCapacity = 0x1FFFFFFF;

  explicit BufferSink(std::uint32_t initialCapacity = 0);

  // Appends the bytes, growing the buffer when they do not fit.
  void write(const char* data, std::uint32_t size) override;
  void end() override {}

  // Moves up to n bytes from the front into destination; returns the count.
  std::uint32_t read(std::uint32_t n, char* destination);
  // Drops up to n bytes from the front; returns the count.
  std::uint32_t skip(std::uint32_t n);

  std::uint32_t size() const { return held_; }
  std::uint32_t capacity() const { return capacity_; }

 private:
  // Grows by the current capacity, at least 4 KiB and at most 1 MiB per
  // step, or straight to what is needed when that is more.
  void grow(std::uint64_t needed);
  // Removes up to n bytes from the front, copying them when destination is set.
  std::uint32_t take(std::uint32_t n, char* destination);

  std::unique_ptr<char[]> data_;
  std::uint32_t capacity_ = 0;
  std::uint32_t readPos_ = 0;
  std::uint32_t held_ = 0;
};

// The end of a chain that collects the bytes in one contiguous piece, for a
// consumer that uses them where they lie and then clears the sink. The
// storage is kept across clears, so a chain that carries blocks of a like
// size allocates once.
class FlatBufferSink : public StreamSink {
 public:
  void write(const char* data, std::uint32_t size) override {
    bytes_.insert(bytes_.end(), data, data + size);
  }
  void end() override {}

  const char* data() const { return bytes_.data(); }
  std::uint64_t size() const { return bytes_.size(); }
  void clear() { bytes_.clear(); }
  // Hands the bytes over without a copy, taking other's storage in their
  // place for the next writes.
  void swap(std::vector<char>& other) { bytes_.swap(other); }

 private:
  std::vector<char> bytes_;
};

}  // namespace kvn_common
