// The two checksums of an rsync signature block: librsync's rolling weak sum
// and the MD4 strong sum, the latter for several blocks at once with the
// widest vector unit the processor has.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn_common/simd/simd_path.h"

namespace kvn_rsync {

// The ways MD4 can run. The widest one the processor supports is chosen at
// start; KVN_RSYNC_SIMD=scalar|avx2|avx512 or forceSumPath() narrow it.
using SumPath = kvn_common::simd::SimdPath;

bool sumPathSupported(SumPath path);
SumPath activeSumPath();
// Makes path the active one; false (and nothing changes) when the processor
// lacks it. Meant for tests and benchmarks, before any stream is running.
bool forceSumPath(SumPath path);
const char* sumPathName(SumPath path);
// How many blocks the active path hashes in one go.
std::size_t sumLanes();

inline constexpr std::size_t kMd4Length = 16;

// MD4 of one message, on the scalar path whatever is active.
void md4(const std::uint8_t* data, std::size_t length, std::uint8_t* digest);

// MD4 of count messages of length bytes each, message i starting at
// data + i * stride, into digests + i * kMd4Length.
void md4Blocks(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
               std::uint8_t* digests);

// librsync's rollsum of a whole block: s1 and s2 over the bytes plus 31
// each, digest s2 << 16 | s1 (both kept to 16 bits).
std::uint32_t weakSum(const std::uint8_t* data, std::size_t length);

// The same sum kept rolling: a window of count bytes moved on by one byte.
struct RollingSum {
  std::uint32_t s1 = 0;
  std::uint32_t s2 = 0;
  std::uint32_t count = 0;

  static constexpr std::uint32_t kCharOffset = 31;

  void reset(const std::uint8_t* data, std::size_t length);
  void rotate(std::uint8_t out, std::uint8_t in) {
    s1 += in - out;
    s2 += s1 - count * (out + kCharOffset);
  }
  void rollOut(std::uint8_t out) {
    s1 -= out + kCharOffset;
    s2 -= count * (out + kCharOffset);
    --count;
  }
  std::uint32_t digest() const { return (s2 << 16) | (s1 & 0xffff); }
};

}  // namespace kvn_rsync
