// The MD5 paths of the image digests against OpenSSL's MD5, in MB/s of
// hashed bytes. Each message is made like a half-used 2 MiB block: every
// other 4096-byte chunk of it, so the lanes read scattered pieces.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "kvn_formats/md5_lanes.h"

namespace {

using kvn_common::simd::SimdPath;
using kvn_formats::Md5Digest;
using kvn_formats::Md5Message;
using kvn_formats::Md5Piece;

constexpr std::size_t kBlock = 0x200000;
constexpr std::size_t kChunk = 4096;

const std::vector<std::uint8_t>& pool() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> b(32 * kBlock);
    std::mt19937 random(1);
    for (auto& v : b) v = static_cast<std::uint8_t>(random());
    return b;
  }();
  return bytes;
}

void BM_OpensslMd5(benchmark::State& state) {
  const auto& bytes = pool();
  Md5Digest digest{};
  for (auto _ : state) {
    for (std::size_t block = 0; block < 16; ++block) {
      EVP_MD_CTX* ctx = EVP_MD_CTX_new();
      EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
      for (std::size_t at = 0; at < kBlock; at += 2 * kChunk) {
        EVP_DigestUpdate(ctx, bytes.data() + block * kBlock + at, kChunk);
      }
      unsigned int size = 0;
      EVP_DigestFinal_ex(ctx, digest.data(), &size);
      EVP_MD_CTX_free(ctx);
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * 16 * kBlock / 2);
}

// range(0): path; range(1): messages hashed together.
void BM_Md5Messages(benchmark::State& state) {
  const auto path = static_cast<SimdPath>(state.range(0));
  const auto count = static_cast<std::size_t>(state.range(1));
  const SimdPath start = kvn_formats::activeMd5Path();
  if (!kvn_formats::forceMd5Path(path)) {
    state.SkipWithError("the processor lacks this path");
    return;
  }
  state.SetLabel(kvn_common::simd::simdPathName(path));
  const auto& bytes = pool();
  std::vector<std::vector<Md5Piece>> pieces(count);
  for (std::size_t m = 0; m < count; ++m) {
    for (std::size_t at = 0; at < kBlock; at += 2 * kChunk) {
      pieces[m].emplace_back(bytes.data() + m * kBlock + at, kChunk);
    }
  }
  const std::vector<Md5Message> messages(pieces.begin(), pieces.end());
  std::vector<Md5Digest> digests(count);
  for (auto _ : state) {
    kvn_formats::md5Messages(messages, digests.data());
    benchmark::DoNotOptimize(digests.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations() * count * kBlock / 2));
  kvn_formats::forceMd5Path(start);
}

BENCHMARK(BM_OpensslMd5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5Messages)
    ->ArgNames({"path", "messages"})
    ->ArgsProduct({{int(SimdPath::kScalar), int(SimdPath::kAvx2), int(SimdPath::kAvx512)},
                   {8, 16, 32}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
