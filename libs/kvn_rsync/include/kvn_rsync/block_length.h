// The rsync block length used for the signature of a file or volume.
#pragma once

#include <cstdint>

namespace kvn_rsync {

// 2048 up to 4 MiB; above that the smallest power of two whose square is
// not below the size, so that a signature grows with the square root of the
// data instead of linearly (4096 for 16 MiB, 65536 for 4 GiB).
std::uint64_t blockLength(std::uint64_t size);

}  // namespace kvn_rsync
