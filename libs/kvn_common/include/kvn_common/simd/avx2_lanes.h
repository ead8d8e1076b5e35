// Eight 32-bit lanes in an AVX2 register (see lane_ops.h). Only for
// translation units compiled with -mavx2.
#pragma once

#if defined(__AVX2__)
#include <immintrin.h>

#include "kvn_common/simd/lane_ops.h"

namespace kvn_common::simd {
namespace {

struct Avx2Lanes {
  using V = __m256i;
  static constexpr std::size_t kLanes = 8;

  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V set1(std::uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  static V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
  static V andnot(V a, V b) { return _mm256_andnot_si256(a, b); }
  static V ones() { return _mm256_set1_epi32(-1); }
  template <int Table>
  static V ternary(V x, V y, V z) {
    return bitwiseTernary<Table, Avx2Lanes>(x, y, z);
  }
  template <int S>
  static V rotl(V v) {
    return _mm256_or_si256(_mm256_slli_epi32(v, S), _mm256_srli_epi32(v, 32 - S));
  }
  // Eight rows of sixteen words turned into sixteen columns, as two 8 x 8
  // transposes: pairs of words, pairs of pairs, then 128-bit halves.
  static void load(const std::uint8_t* const* rows, std::size_t offset, V x[16]) {
    for (int half = 0; half < 2; ++half) {
      V r[8];
      for (int i = 0; i < 8; ++i)
        r[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[i] + offset + 32 * half));
      V u[8];
      for (int g = 0; g < 2; ++g) {
        const V t0 = _mm256_unpacklo_epi32(r[4 * g], r[4 * g + 1]);
        const V t1 = _mm256_unpackhi_epi32(r[4 * g], r[4 * g + 1]);
        const V t2 = _mm256_unpacklo_epi32(r[4 * g + 2], r[4 * g + 3]);
        const V t3 = _mm256_unpackhi_epi32(r[4 * g + 2], r[4 * g + 3]);
        u[4 * g] = _mm256_unpacklo_epi64(t0, t2);
        u[4 * g + 1] = _mm256_unpackhi_epi64(t0, t2);
        u[4 * g + 2] = _mm256_unpacklo_epi64(t1, t3);
        u[4 * g + 3] = _mm256_unpackhi_epi64(t1, t3);
      }
      for (int j = 0; j < 4; ++j) {
        x[8 * half + j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x20);
        x[8 * half + 4 + j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x31);
      }
    }
  }
  static void store(std::uint32_t* out, V v) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(out), v);
  }
};

}  // namespace
}  // namespace kvn_common::simd
#endif
