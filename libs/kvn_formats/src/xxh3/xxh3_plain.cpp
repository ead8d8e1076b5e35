#define KVN_XXH3_KERNEL xxh3Plain
#include "xxh3_kernel.inc"

namespace kvn_formats::xxh3_kernels {

Hash128 xxh3(const void* data, std::size_t length, const void* secret, std::size_t size) {
  using kvn_common::simd::SimdPath;
  static const kvn_common::simd::SimdPathSwitch path("KVN_XXH3_SIMD");
  switch (path.active()) {
#if defined(__x86_64__)
    case SimdPath::kAvx512: return xxh3Avx512(data, length, secret, size);
    case SimdPath::kAvx2: return xxh3Avx2(data, length, secret, size);
#endif
    default: return xxh3Plain(data, length, secret, size);
  }
}

}  // namespace kvn_formats::xxh3_kernels
