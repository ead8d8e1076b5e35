// Compiled with -mavx2: only called when the processor reports AVX2.
#if defined(__x86_64__)
#include <immintrin.h>

#include "kvn_common/simd/avx2_lanes.h"
#include "md4_rounds.h"
#include "sum_kernels.h"

namespace kvn_rsync::kernels {

void md4Avx2(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
             std::uint8_t* digests) {
  md4Lanes<kvn_common::simd::TwoGroups<kvn_common::simd::Avx2Lanes>>(data, stride, length, count,
                                                                     digests);
}

void byteSumsAvx2(const std::uint8_t* data, std::size_t length, std::uint32_t& s1,
                  std::uint32_t& s2) {
  // Per 32-byte chunk: s2 gains 32 times every earlier byte plus the chunk's
  // bytes weighted 32..1; the running totals wrap modulo 2^32, which keeps
  // the 16 bits the digest uses exact.
  const __m256i weights =
      _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                       13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i sum = _mm256_setzero_si256();      // bytes so far, 4 x 64 bits
  __m256i earlier = _mm256_setzero_si256();  // sum of `sum` before each chunk
  __m256i weighted = _mm256_setzero_si256();
  const std::size_t chunks = length / 32;
  for (std::size_t i = 0; i < chunks; ++i) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i * 32));
    earlier = _mm256_add_epi32(earlier, sum);
    sum = _mm256_add_epi64(sum, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
    weighted =
        _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, weights), ones));
  }
  alignas(32) std::uint32_t lanes[8];
  const auto total = [&lanes](__m256i v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
    std::uint32_t t = 0;
    for (std::uint32_t lane : lanes) t += lane;
    return t;
  };
  // `sum` and `earlier` hold 64-bit lanes (`earlier` added as 32-bit words);
  // their low halves are exact modulo 2^32, which is all that is needed.
  const __m256i lowHalves = _mm256_set_epi32(0, -1, 0, -1, 0, -1, 0, -1);
  std::uint32_t a = total(_mm256_and_si256(sum, lowHalves));
  std::uint32_t b = total(weighted) + 32 * total(_mm256_and_si256(earlier, lowHalves));
  for (std::size_t i = chunks * 32; i < length; ++i) {
    a += data[i];
    b += a;
  }
  s1 = a;
  s2 = b;
}

}  // namespace kvn_rsync::kernels
#endif
