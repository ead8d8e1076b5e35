#include "kvn_rsync/block_length.h"

namespace kvn_rsync {

std::uint64_t blockLength(std::uint64_t size) {
  constexpr std::uint64_t kSmallLimit = 0x400000;
  constexpr std::uint64_t kSmallBlock = 2048;
  if (size <= kSmallLimit) return kSmallBlock;
  // block * block cannot overflow: the loop stops at 2^32, whose square is
  // above every 64-bit size.
  std::uint64_t block = kSmallBlock;
  while (block < (std::uint64_t{1} << 32) && block * block < size) block <<= 1;
  return block;
}

}  // namespace kvn_rsync
