#include "kvn_rsync/block_sums.h"

#include "kvn_common/simd/simd_path.h"
#include "md4_rounds.h"
#include "sum_kernels.h"

namespace kvn_rsync {

namespace {

std::uint32_t loadLittle32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

void compressChunk(std::uint32_t state[4], const std::uint8_t* chunk) {
  std::uint32_t x[16];
  for (int w = 0; w < 16; ++w) x[w] = loadLittle32(chunk + 4 * w);
  Md4Rounds<kvn_common::simd::ScalarLanes>::compress(state, x);
}

kvn_common::simd::SimdPathSwitch& active() {
  static kvn_common::simd::SimdPathSwitch path("KVN_RSYNC_SIMD");
  return path;
}

void md4Scalar(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
               std::uint8_t* digests) {
  for (std::size_t i = 0; i < count; ++i) md4(data + i * stride, length, digests + i * kMd4Length);
}

}  // namespace

bool sumPathSupported(SumPath path) { return kvn_common::simd::simdPathSupported(path); }

SumPath activeSumPath() { return active().active(); }

bool forceSumPath(SumPath path) { return active().force(path); }

const char* sumPathName(SumPath path) { return kvn_common::simd::simdPathName(path); }

std::size_t sumLanes() {
  switch (activeSumPath()) {
    case SumPath::kAvx512: return kernels::kAvx512Lanes;
    case SumPath::kAvx2: return kernels::kAvx2Lanes;
    case SumPath::kScalar: break;
  }
  return 1;
}

void md4(const std::uint8_t* data, std::size_t length, std::uint8_t* digest) {
  std::uint32_t state[4] = {kMdInit[0], kMdInit[1], kMdInit[2], kMdInit[3]};
  const std::size_t full = length / 64;
  for (std::size_t chunk = 0; chunk < full; ++chunk) compressChunk(state, data + chunk * 64);
  std::uint8_t tail[128];
  const std::size_t tailChunks = md4Tail(data, length, tail);
  for (std::size_t chunk = 0; chunk < tailChunks; ++chunk) compressChunk(state, tail + chunk * 64);
  for (int k = 0; k < 4; ++k) putLittle32(digest + 4 * k, state[k]);
}

void md4Blocks(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
               std::uint8_t* digests) {
  const SumPath path = activeSumPath();
  const std::size_t lanes = sumLanes();
  // Short messages and lone blocks cost more to spread over lanes than to
  // hash one by one.
  if (path == SumPath::kScalar || length < 64) {
    md4Scalar(data, stride, length, count, digests);
    return;
  }
#if defined(__x86_64__)
  while (count > 0) {
    std::size_t take = count < lanes ? count : lanes;
    if (take * 4 <= lanes && take < 2) {
      md4Scalar(data, stride, length, take, digests);
    } else if (path == SumPath::kAvx512 && take > kernels::kAvx2Lanes) {
      kernels::md4Avx512(data, stride, length, take, digests);
    } else {
      take = take < kernels::kAvx2Lanes ? take : kernels::kAvx2Lanes;
      kernels::md4Avx2(data, stride, length, take, digests);
    }
    data += take * stride;
    digests += take * kMd4Length;
    count -= take;
  }
#endif
}

std::uint32_t weakSum(const std::uint8_t* data, std::size_t length) {
  RollingSum sum;
  sum.reset(data, length);
  return sum.digest();
}

void RollingSum::reset(const std::uint8_t* data, std::size_t length) {
  std::uint32_t a = 0;
  std::uint32_t b = 0;
#if defined(__x86_64__)
  if (activeSumPath() != SumPath::kScalar && length >= 64) {
    kernels::byteSumsAvx2(data, length, a, b);
  } else
#endif
  {
    // Four bytes a step, so that b does not wait on a after every byte.
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
      const std::uint32_t c0 = data[i], c1 = data[i + 1], c2 = data[i + 2], c3 = data[i + 3];
      b += 4 * a + 4 * c0 + 3 * c1 + 2 * c2 + c3;
      a += c0 + c1 + c2 + c3;
    }
    for (; i < length; ++i) {
      a += data[i];
      b += a;
    }
  }
  const auto n = static_cast<std::uint32_t>(length);
  // Every byte counts 31 more; in s2 byte i does so length - i times.
  s1 = a + n * kCharOffset;
  s2 = b + kCharOffset * static_cast<std::uint32_t>(std::uint64_t(n) * (n + 1) / 2);
  count = n;
}

}  // namespace kvn_rsync
