#include "boxsim/random_drop.h"

#include <algorithm>

namespace boxsim {

RandomDrop::RandomDrop(int oneIn, int withinPackets, unsigned seed)
    : random_(seed), oneIn_(std::max(1, oneIn)), withinPackets_(std::max(1, withinPackets)) {}

int RandomDrop::pick(std::uint32_t kind) {
  std::lock_guard lock(mutex_);
  if (std::uniform_int_distribution<int>(1, oneIn_)(random_) != 1) return -1;
  // A drop after the last packet would cut nothing: the run is over by
  // then. A run of one packet can only be cut after it.
  const auto last = lastLength_.find(kind);
  const int length =
      last != lastLength_.end() ? std::min(last->second, withinPackets_) : withinPackets_;
  return std::uniform_int_distribution<int>(1, std::max(1, length - 1))(random_);
}

void RandomDrop::ended(std::uint32_t kind, int packets) {
  if (packets <= 0) return;
  std::lock_guard lock(mutex_);
  lastLength_[kind] = packets;
}

}  // namespace boxsim
