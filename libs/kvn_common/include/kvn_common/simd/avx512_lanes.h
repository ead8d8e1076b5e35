// Sixteen 32-bit lanes in an AVX-512 register (see lane_ops.h). Only for
// translation units compiled with -mavx512f.
#pragma once

#if defined(__AVX512F__)
// GCC 12's AVX-512 headers pass an uninitialised "undefined" source to the
// unmasked intrinsics and then warn about it at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "kvn_common/simd/lane_ops.h"

namespace kvn_common::simd {
namespace {

struct Avx512Lanes {
  using V = __m512i;
  static constexpr std::size_t kLanes = 16;

  static V add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V set1(std::uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
  template <int Table>
  static V ternary(V x, V y, V z) {
    return _mm512_ternarylogic_epi32(x, y, z, Table);
  }
  template <int S>
  static V rotl(V v) {
    return _mm512_rol_epi32(v, S);
  }
  // Sixteen rows of sixteen words turned into sixteen columns: pairs of
  // words, then pairs of pairs, then 128-bit quarters twice.
  static void load(const std::uint8_t* const* rows, std::size_t offset, V x[16]) {
    V r[16];
    for (int i = 0; i < 16; ++i) r[i] = _mm512_loadu_si512(rows[i] + offset);
    V u[16];
    for (int g = 0; g < 4; ++g) {
      const V t0 = _mm512_unpacklo_epi32(r[4 * g], r[4 * g + 1]);
      const V t1 = _mm512_unpackhi_epi32(r[4 * g], r[4 * g + 1]);
      const V t2 = _mm512_unpacklo_epi32(r[4 * g + 2], r[4 * g + 3]);
      const V t3 = _mm512_unpackhi_epi32(r[4 * g + 2], r[4 * g + 3]);
      // u[4g + j]: in quarter k, word 4k + j of rows 4g .. 4g + 3.
      u[4 * g] = _mm512_unpacklo_epi64(t0, t2);
      u[4 * g + 1] = _mm512_unpackhi_epi64(t0, t2);
      u[4 * g + 2] = _mm512_unpacklo_epi64(t1, t3);
      u[4 * g + 3] = _mm512_unpackhi_epi64(t1, t3);
    }
    for (int j = 0; j < 4; ++j) {
      const V v0 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0x88);
      const V v1 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0xdd);
      const V v2 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0x88);
      const V v3 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0xdd);
      x[j] = _mm512_shuffle_i32x4(v0, v2, 0x88);
      x[8 + j] = _mm512_shuffle_i32x4(v0, v2, 0xdd);
      x[4 + j] = _mm512_shuffle_i32x4(v1, v3, 0x88);
      x[12 + j] = _mm512_shuffle_i32x4(v1, v3, 0xdd);
    }
  }
  static void store(std::uint32_t* out, V v) { _mm512_store_si512(out, v); }
};

}  // namespace
}  // namespace kvn_common::simd
#endif
