// The per-instruction-set kernels behind md5_lanes.h; each is defined in a
// translation unit compiled for its instruction set and only called when the
// processor has it. count is 1..the kernel's lanes; every piece of every
// message but its last is a multiple of 64 bytes.
#pragma once

#include "kvn_formats/md5_lanes.h"

namespace kvn_formats::md5_kernels {

inline constexpr std::size_t kMd5Avx2Lanes = 16;
inline constexpr std::size_t kMd5Avx512Lanes = 32;
// The most messages any kernel takes at once.
inline constexpr std::size_t kMd5MaxLanes = kMd5Avx512Lanes;

void md5Avx2(const Md5Message* messages, std::size_t count, Md5Digest* digests);
void md5Avx512(const Md5Message* messages, std::size_t count, Md5Digest* digests);

}  // namespace kvn_formats::md5_kernels
