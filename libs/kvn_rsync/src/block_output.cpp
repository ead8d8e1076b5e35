#include "block_output.h"

#include <cstring>

namespace kvn_rsync {

void BlockOutput::append(kvn_common::StreamSink& out, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const std::size_t take = size < kBlock - held_ ? size : kBlock - held_;
    std::memcpy(buffer_.get() + held_, bytes, take);
    held_ += take;
    bytes += take;
    size -= take;
    if (held_ == kBlock) flush(out);
  }
}

void BlockOutput::putBig(kvn_common::StreamSink& out, std::uint64_t value, std::size_t width) {
  std::uint8_t bytes[8];
  for (std::size_t i = 0; i < width; ++i) bytes[i] = std::uint8_t(value >> (8 * (width - 1 - i)));
  append(out, bytes, width);
}

void BlockOutput::flush(kvn_common::StreamSink& out) {
  if (held_ == 0) return;
  const auto size = static_cast<std::uint32_t>(held_);
  held_ = 0;
  out.write(reinterpret_cast<const char*>(buffer_.get()), size);
}

}  // namespace kvn_rsync
