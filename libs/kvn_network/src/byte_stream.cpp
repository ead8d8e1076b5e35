#include "kvn_network/byte_stream.h"

#include <algorithm>
#include <cstring>

namespace kvn_network {

std::int64_t MemoryStream::peek(char* data, std::int64_t size) {
  const std::int64_t n = std::min<std::int64_t>(size, bytes_.size() - position_);
  if (n > 0) std::memcpy(data, bytes_.constData() + position_, static_cast<std::size_t>(n));
  return n;
}

std::int64_t MemoryStream::read(char* data, std::int64_t size) {
  const std::int64_t n = peek(data, size);
  position_ += n;
  return n;
}

}  // namespace kvn_network
