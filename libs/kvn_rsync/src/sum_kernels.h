// The per-instruction-set kernels behind block_sums.h; each is defined in a
// translation unit compiled for its instruction set and only called when the
// processor has it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn_rsync::kernels {

// count (1..lanes) messages of length bytes at data + i * stride.
void md4Avx2(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
             std::uint8_t* digests);
void md4Avx512(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
               std::uint8_t* digests);

// s1 = sum of bytes, s2 = sum of byte * (length - index), both modulo 2^32,
// without librsync's character offset.
void byteSumsAvx2(const std::uint8_t* data, std::size_t length, std::uint32_t& s1,
                  std::uint32_t& s2);

inline constexpr std::size_t kAvx2Lanes = 16;
inline constexpr std::size_t kAvx512Lanes = 32;

}  // namespace kvn_rsync::kernels
