#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <random>
#include <vector>

#include "kvn_formats/md5_lanes.h"
#include "kvn_formats/volume_image/block_digest.h"
#include "kvn_log/exception.h"

namespace {

using namespace kvn_formats::volume_image;

std::array<std::uint8_t, 16> md5(const std::vector<std::uint8_t>& bytes) {
  const QByteArray d =
      QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size())),
                               QCryptographicHash::Md5);
  std::array<std::uint8_t, 16> out{};
  std::memcpy(out.data(), d.constData(), 16);
  return out;
}

TEST(BlockDigest, UsedChunksOnlyInOrderAndMerged) {
  std::vector<std::uint8_t> block(6 * 4096);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i / 4096 + 1);
  // 1 KiB clusters at volume offset 1 MiB: used clusters fall in chunks 1,
  // 2 (its last cluster only) and 5.
  GenericBitmap bitmap = GenericBitmap::filled(512, 1024, false);
  const std::uint64_t base = 0x100000;
  for (std::uint64_t c : {4u, 11u, 23u}) bitmap.setCluster(base / 1024 + c, true);
  const HashmapBlockDesc d = describeBlock(block.data(), block.size(), base, bitmap, 4096);
  EXPECT_EQ(d.chunkMap[0], 0x26);
  std::vector<std::uint8_t> used(block.begin() + 4096, block.begin() + 3 * 4096);
  used.insert(used.end(), block.begin() + 5 * 4096, block.end());
  EXPECT_EQ(d.digest, md5(used));
  EXPECT_EQ(d.dataOffset, kNotSent);
  EXPECT_EQ(d.dataLength, kNoEntry);
  EXPECT_EQ(usedRuns(d, block.size(), 4096),
            (std::vector<ByteRun>{{4096, 2 * 4096}, {5 * 4096, 4096}}));
}

TEST(BlockDigest, PartialLastChunkCountsOnlyBytesUpToTheEnd) {
  // A volume of 4096 + 1536 bytes; the buffer behind it holds stale bytes.
  std::vector<std::uint8_t> buffer(2 * 4096, 0xEE);
  for (std::size_t i = 0; i < 4096 + 1536; ++i) buffer[i] = static_cast<std::uint8_t>(i * 7);
  const GenericBitmap all = GenericBitmap::filled(2, 512, true);
  const HashmapBlockDesc d = describeBlock(buffer.data(), 4096 + 1536, 0, all, 4096);
  EXPECT_EQ(d.chunkMap[0], 0x03);
  EXPECT_EQ(d.digest, md5({buffer.begin(), buffer.begin() + 4096 + 1536}));
  std::fill(buffer.begin() + 4096 + 1536, buffer.end(), 0x11);
  EXPECT_EQ(describeBlock(buffer.data(), 4096 + 1536, 0, all, 4096).digest, d.digest);
  EXPECT_EQ(usedRuns(d, 4096 + 1536, 4096), (std::vector<ByteRun>{{0, 4096 + 1536}}));
}

TEST(BlockDigest, ABlockOfMoreThan512ChunksIsRefused) {
  std::vector<std::uint8_t> block(513 * 512);
  const GenericBitmap all = GenericBitmap::filled(128, 512, true);
  EXPECT_THROW(describeBlock(block.data(), block.size(), 0, all, 512), KvnCommonException);
}

TEST(BlockDigest, ABatchDescribesEveryBlockAsItsOwnUsedChunksOnEveryPath) {
  // 19 blocks of 64 chunks of 512 bytes in 128-byte clusters: empty, full,
  // scattered and single-cluster blocks side by side, the last one cut
  // inside a chunk; more blocks than lanes.
  constexpr std::uint64_t kChunk = 512;
  constexpr std::uint64_t kBlockBytes = 64 * kChunk;
  constexpr std::size_t kBlocks = 19;
  const std::uint64_t volume = kBlocks * kBlockBytes - 300;
  std::vector<std::uint8_t> bytes(kBlocks * kBlockBytes);
  std::mt19937 random(3);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  GenericBitmap bitmap = GenericBitmap::filled(kBlocks * kBlockBytes, 128, false);
  for (std::uint64_t cluster = 0; cluster < kBlocks * kBlockBytes / 128; ++cluster) {
    const std::uint64_t block = cluster * 128 / kBlockBytes;
    const bool used = block == 1 || block == kBlocks - 1 ? true
                      : block == 2                       ? cluster % 97 == 0
                      : block % 3 == 0                   ? false
                                                         : random() % 3 == 0;
    bitmap.setCluster(cluster, used);
  }
  std::vector<BlockBytes> blocks;
  for (std::uint64_t offset = 0; offset < volume; offset += kBlockBytes) {
    blocks.push_back({bytes.data() + offset, std::min(kBlockBytes, volume - offset), offset});
  }
  // What each block's description must be: its used chunks, in order.
  std::vector<HashmapBlockDesc> expected(kBlocks);
  for (std::size_t b = 0; b < kBlocks; ++b) {
    std::vector<std::uint8_t> used;
    for (std::uint64_t start = 0; start < blocks[b].length; start += kChunk) {
      const std::uint64_t size = std::min(kChunk, blocks[b].length - start);
      if (!bitmap.anySet(blocks[b].offset + start, size)) continue;
      expected[b].setChunkUsed(std::uint32_t(start / kChunk));
      used.insert(used.end(), blocks[b].data + start, blocks[b].data + start + size);
    }
    expected[b].digest = md5(used);
  }
  const auto start = kvn_formats::activeMd5Path();
  using kvn_common::simd::SimdPath;
  for (SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
    if (!kvn_formats::forceMd5Path(path)) continue;
    std::vector<HashmapBlockDesc> got(kBlocks);
    describeBlocks(blocks, bitmap, kChunk, got.data());
    for (std::size_t b = 0; b < kBlocks; ++b) {
      EXPECT_TRUE(got[b].sameContentAs(expected[b]))
          << "block " << b << " on " << kvn_common::simd::simdPathName(path);
      EXPECT_EQ(got[b].dataOffset, kNotSent);
    }
  }
  kvn_formats::forceMd5Path(start);
}

}  // namespace
