#include "kvn_common/pipes.h"

namespace kvn_common {

void TeePipe::write(const char* data, std::uint32_t size) {
  second_.write(data, size);
  forward().write(data, size);
}

void TeePipe::end() {
  second_.end();
  forward().end();
}

void CountPipe::write(const char* data, std::uint32_t size) {
  count_ += size;
  forward().write(data, size);
}

}  // namespace kvn_common
