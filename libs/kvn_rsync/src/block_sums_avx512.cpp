// Compiled with -mavx512f: only called when the processor reports AVX-512F.
#if defined(__x86_64__)
#include <immintrin.h>

#include "md4_rounds.h"
#include "sum_kernels.h"

namespace kvn_rsync::kernels {

namespace {

struct Avx512Ops {
  using V = __m512i;
  static constexpr std::size_t kLanes = kAvx512Lanes;

  static V add(V a, V b) { return _mm512_add_epi32(a, b); }
  static V set1(std::uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
  // Truth tables over (x, y, z): x ? y : z, majority, and parity.
  static V f(V x, V y, V z) { return _mm512_ternarylogic_epi32(x, y, z, 0xca); }
  static V g(V x, V y, V z) { return _mm512_ternarylogic_epi32(x, y, z, 0xe8); }
  static V h(V x, V y, V z) { return _mm512_ternarylogic_epi32(x, y, z, 0x96); }
  template <int S>
  static V rotl(V v) {
    // The masked forms: GCC 12 warns about the undefined source of the
    // unmasked ones.
    return _mm512_mask_rol_epi32(v, 0xffff, v, S);
  }
  static V offsets(std::size_t stride, std::size_t count) {
    alignas(64) std::int32_t lane[kLanes];
    for (std::size_t i = 0; i < kLanes; ++i)
      lane[i] = static_cast<std::int32_t>(i < count ? i * stride : 0);
    return _mm512_load_si512(lane);
  }
  static V gather(const std::uint8_t* base, V lanes) {
    return _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xffff, lanes, base, 1);
  }
  static void store(std::uint32_t* out, V v) { _mm512_store_si512(out, v); }
};

}  // namespace

void md4Avx512(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
               std::uint8_t* digests) {
  md4Lanes<Avx512Ops>(data, stride, length, count, digests);
}

}  // namespace kvn_rsync::kernels
#endif
