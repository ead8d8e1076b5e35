// Compiled with -mavx512f: only called when the processor reports AVX-512F.
#if defined(__x86_64__)
#include "kvn_common/simd/avx512_lanes.h"
#include "md5_kernels.h"
#include "md5_rounds.h"

namespace kvn_formats::md5_kernels {

static_assert(kvn_common::simd::Avx512Lanes::kLanes == kMd5VectorLanes);

void md5Avx512(const Md5Message* messages, std::size_t count, Md5Digest* digests) {
  md5Lanes<kvn_common::simd::Avx512Lanes>(messages, count, digests);
}

}  // namespace kvn_formats::md5_kernels
#endif
