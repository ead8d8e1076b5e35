// Compiled with -mavx512f: only called when the processor reports AVX-512F.
#if defined(__x86_64__)

#include "kvn_common/simd/avx512_lanes.h"
#include "md4_rounds.h"
#include "sum_kernels.h"

namespace kvn_rsync::kernels {

void md4Avx512(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
               std::uint8_t* digests) {
  md4Lanes<kvn_common::simd::TwoGroups<kvn_common::simd::Avx512Lanes>>(data, stride, length, count,
                                                                       digests);
}

}  // namespace kvn_rsync::kernels
#endif
