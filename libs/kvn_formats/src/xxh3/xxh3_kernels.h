// XXH3-128 with a secret, built once per instruction set: the packaged
// library is built for plain x86-64, several times slower than the vector
// paths. Each kernel is defined in a translation unit compiled for its
// instruction set and only called when the processor has it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn_common/simd/simd_path.h"

namespace kvn_formats::xxh3_kernels {

struct Hash128 {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
};

Hash128 xxh3Plain(const void* data, std::size_t length, const void* secret, std::size_t size);
Hash128 xxh3Avx2(const void* data, std::size_t length, const void* secret, std::size_t size);
Hash128 xxh3Avx512(const void* data, std::size_t length, const void* secret, std::size_t size);

// The kernel of the best path the processor has (KVN_XXH3_SIMD may ask for
// a lesser one).
Hash128 xxh3(const void* data, std::size_t length, const void* secret, std::size_t size);

}  // namespace kvn_formats::xxh3_kernels
