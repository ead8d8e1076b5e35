#include "kvn_common/buffer_sink.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "kvn_log/exception.h"

namespace kvn_common {

namespace {

constexpr std::uint64_t kMinStep = 4096;
constexpr std::uint64_t kMaxStep = 0x100000;

std::unique_ptr<char[]> allocate(std::uint64_t capacity) {
  std::unique_ptr<char[]> data(new (std::nothrow) char[capacity]);
  if (!data) {
    KLOG_E("BufferSink buffer allocation failed");
    throw KvnCommonException(KVN_HERE, KVN_E_BUFFER_LIMIT, "BufferSink buffer allocation failed");
  }
  return data;
}

}  // namespace

BufferSink::BufferSink(std::uint32_t initialCapacity) {
  if (initialCapacity == 0) return;
  if (initialCapacity > kMaxCapacity) grow(initialCapacity);  // throws the limit
  data_ = allocate(initialCapacity);
  capacity_ = initialCapacity;
}

void BufferSink::grow(std::uint64_t needed) {
  const std::uint64_t step = std::clamp<std::uint64_t>(capacity_, kMinStep, kMaxStep);
  const std::uint64_t capacity = std::max<std::uint64_t>(needed, capacity_ + step);
  if (capacity > kMaxCapacity) {
    KLOG_E("BufferSink buffer memory limit reached");
    throw KvnCommonException(KVN_HERE, KVN_E_BUFFER_LIMIT,
                             "BufferSink buffer memory limit reached");
  }
  auto data = allocate(capacity);
  const std::uint32_t held = held_;
  take(held, data.get());
  data_ = std::move(data);
  capacity_ = static_cast<std::uint32_t>(capacity);
  held_ = held;
  readPos_ = 0;
}

void BufferSink::write(const char* data, std::uint32_t size) {
  if (size == 0) return;
  if (std::uint64_t{held_} + size > capacity_) grow(std::uint64_t{held_} + size);
  const std::uint32_t writePos =
      static_cast<std::uint32_t>((std::uint64_t{readPos_} + held_) % capacity_);
  const std::uint32_t first = std::min(size, capacity_ - writePos);
  std::memcpy(data_.get() + writePos, data, first);
  std::memcpy(data_.get(), data + first, size - first);
  held_ += size;
}

std::uint32_t BufferSink::take(std::uint32_t n, char* destination) {
  const std::uint32_t count = std::min(n, held_);
  if (count == 0) return 0;
  const std::uint32_t first = std::min(count, capacity_ - readPos_);
  if (destination != nullptr) {
    std::memcpy(destination, data_.get() + readPos_, first);
    std::memcpy(destination + first, data_.get(), count - first);
  }
  readPos_ = static_cast<std::uint32_t>((std::uint64_t{readPos_} + count) % capacity_);
  held_ -= count;
  if (held_ == 0) readPos_ = 0;
  return count;
}

std::uint32_t BufferSink::read(std::uint32_t n, char* destination) { return take(n, destination); }

std::uint32_t BufferSink::skip(std::uint32_t n) { return take(n, nullptr); }

}  // namespace kvn_common
