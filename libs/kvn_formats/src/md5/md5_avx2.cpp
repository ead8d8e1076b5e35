// Compiled with -mavx2: only called when the processor reports AVX2.
#if defined(__x86_64__)
#include "kvn_common/simd/avx2_lanes.h"
#include "md5_kernels.h"
#include "md5_rounds.h"

namespace kvn_formats::md5_kernels {

// Two groups of eight lanes: AVX2 has no rotate or ternary logic, and the
// second group fills the cycles the first one's longer steps leave idle.
using Avx2Md5Lanes = kvn_common::simd::TwoGroups<kvn_common::simd::Avx2Lanes>;
static_assert(Avx2Md5Lanes::kLanes == kMd5Avx2Lanes);

void md5Avx2(const Md5Message* messages, std::size_t count, Md5Digest* digests) {
  md5Lanes<Avx2Md5Lanes>(messages, count, digests);
}

}  // namespace kvn_formats::md5_kernels
#endif
