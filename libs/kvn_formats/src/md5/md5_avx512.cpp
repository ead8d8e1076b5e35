// Compiled with -mavx512f: only called when the processor reports AVX-512F.
#if defined(__x86_64__)
#include "kvn_common/simd/avx512_lanes.h"
#include "md5_kernels.h"
#include "md5_rounds.h"

namespace kvn_formats::md5_kernels {

// Two groups of sixteen lanes: one group's steps are a chain of dependent
// instructions that leaves most of the vector unit idle (a second group
// hashes about 1.6 times as many bytes per second; two groups of eight in
// 256-bit registers no more than one of sixteen).
using Avx512Md5Lanes = kvn_common::simd::TwoGroups<kvn_common::simd::Avx512Lanes>;
static_assert(Avx512Md5Lanes::kLanes == kMd5Avx512Lanes);

void md5Avx512(const Md5Message* messages, std::size_t count, Md5Digest* digests) {
  // Up to sixteen fit one group, which then does not carry an idle one.
  if (count <= kvn_common::simd::Avx512Lanes::kLanes) {
    md5Lanes<kvn_common::simd::Avx512Lanes>(messages, count, digests);
    return;
  }
  md5Lanes<Avx512Md5Lanes>(messages, count, digests);
}

}  // namespace kvn_formats::md5_kernels
#endif
