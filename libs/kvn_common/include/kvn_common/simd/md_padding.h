// What MD4 and MD5 share around their rounds: the initial state, the padded
// end of a message and the little-endian output words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kvn_common::simd {
namespace {

inline constexpr std::uint32_t kMdInit[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// The padded end of a message of length bytes whose last length % 64 bytes
// are at last: those bytes, 0x80, zeros and the bit length; one or two
// 64-byte chunks (the count is returned) written to out, which holds 128
// bytes. last may be null when length % 64 is 0.
inline std::size_t mdTail(const std::uint8_t* last, std::uint64_t length, std::uint8_t* out) {
  const std::size_t rest = length % 64;
  std::memset(out, 0, 128);
  if (rest > 0) std::memcpy(out, last, rest);
  out[rest] = 0x80;
  const std::size_t chunks = rest < 56 ? 1 : 2;
  const std::uint64_t bits = length * 8;
  for (int i = 0; i < 8; ++i) out[chunks * 64 - 8 + i] = std::uint8_t(bits >> (8 * i));
  return chunks;
}

inline void putLittle32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = std::uint8_t(value >> (8 * i));
}

}  // namespace
}  // namespace kvn_common::simd
