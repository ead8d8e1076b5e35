#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "kvn_formats/md5_lanes.h"

namespace {

using kvn_common::simd::SimdPath;
using kvn_formats::Md5Digest;
using kvn_formats::Md5Message;
using kvn_formats::Md5Piece;

Md5Digest opensslMd5(const std::vector<std::uint8_t>& bytes) {
  Md5Digest digest{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_md5(), nullptr);
  return digest;
}

std::vector<std::uint8_t> randomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

const std::vector<std::uint8_t>& sharedPool() {
  static const std::vector<std::uint8_t> pool = randomBytes(1 << 20, 7);
  return pool;
}

// Messages built from pieces taken out of one shared pool, as the used
// chunks of several blocks are; each message keeps its plain copy for the
// reference digest.
struct MessageSet {
  const std::vector<std::uint8_t>& pool = sharedPool();
  std::vector<std::vector<Md5Piece>> pieces;
  std::vector<std::vector<std::uint8_t>> plain;

  // A message of the given piece sizes, the pieces scattered over the pool.
  void add(const std::vector<std::size_t>& sizes) {
    std::vector<Md5Piece> message;
    std::vector<std::uint8_t> bytes;
    std::size_t at = (pieces.size() * 8192 + 4096) % (pool.size() / 2);
    for (std::size_t size : sizes) {
      message.emplace_back(pool.data() + at, size);
      bytes.insert(bytes.end(), pool.begin() + std::ptrdiff_t(at),
                   pool.begin() + std::ptrdiff_t(at + size));
      at = (at + size + 3 * 4096) % (pool.size() / 2);
    }
    pieces.push_back(std::move(message));
    plain.push_back(std::move(bytes));
  }
  std::vector<Md5Digest> hash() const {
    std::vector<Md5Message> messages(pieces.begin(), pieces.end());
    std::vector<Md5Digest> digests(messages.size());
    kvn_formats::md5Messages(messages, digests.data());
    return digests;
  }
  void expectAllMatch(const char* what) const {
    const std::vector<Md5Digest> digests = hash();
    for (std::size_t i = 0; i < plain.size(); ++i) {
      EXPECT_EQ(digests[i], opensslMd5(plain[i]))
          << what << ": message " << i << " of " << plain[i].size() << " bytes on "
          << kvn_common::simd::simdPathName(kvn_formats::activeMd5Path());
    }
  }
};

// Runs body on every path the processor has, then restores the widest.
template <typename Body>
void onEveryPath(Body body) {
  const SimdPath start = kvn_formats::activeMd5Path();
  for (SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
    if (!kvn_formats::forceMd5Path(path)) continue;
    body();
  }
  kvn_formats::forceMd5Path(start);
}

TEST(Md5Lanes, PaddingBoundariesAndMixedLengthsAcrossLanesMatchOpenssl) {
  onEveryPath([] {
    // Lengths around the one- and two-chunk padding, whole chunks, and
    // block-sized messages, all in one batch: every lane ends elsewhere.
    MessageSet set;
    for (std::size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 4096, 3 * 4096,
                               16 * 4096 + 1, 4096 * 64, 100, 200}) {
      set.add({length});
    }
    set.expectAllMatch("single piece");
    // The same lengths one message at a time (a lone message takes the
    // plain path) and two at a time (one lane of many busy).
    for (std::size_t n : {1, 2}) {
      MessageSet few;
      for (std::size_t length : {0, 55, 56, 64, 4096 * 3}) {
        few.add({length});
        if (few.plain.size() == n) {
          few.expectAllMatch("few");
          few.pieces.clear();
          few.plain.clear();
        }
      }
    }
  });
}

TEST(Md5Lanes, ScatteredPiecesOfDifferentCountsHashAsTheirConcatenation) {
  onEveryPath([] {
    // Like blocks with different sets of used 4096-byte chunks, empty pieces
    // included, the last piece of some cut short; more messages than lanes,
    // so that the batch is split.
    MessageSet set;
    for (int m = 0; m < 37; ++m) {
      std::vector<std::size_t> sizes(std::size_t(m % 9), 4096);
      if (m % 4 == 1) sizes.push_back(1536);
      if (m % 5 == 2) sizes.insert(sizes.begin(), 0);
      if (m % 7 == 3) sizes.push_back(0);
      set.add(sizes);
    }
    set.expectAllMatch("pieces");
  });
}

TEST(Md5Lanes, PiecesNotOnChunkBoundariesStillHashRight) {
  onEveryPath([] {
    // A piece in the middle that is not a multiple of 64 bytes cannot be
    // walked chunk by chunk; such messages must still come out right, and
    // the others of the batch with them.
    MessageSet set;
    set.add({4096, 100, 4096});
    set.add({4096, 4096});
    set.add({63, 1, 64});
    set.add({8192});
    set.expectAllMatch("odd pieces");
  });
}

TEST(Md5Lanes, ForcingAPathTheProcessorLacksChangesNothing) {
  const SimdPath start = kvn_formats::activeMd5Path();
  for (SimdPath path : {SimdPath::kAvx2, SimdPath::kAvx512}) {
    if (kvn_common::simd::simdPathSupported(path)) continue;
    EXPECT_FALSE(kvn_formats::forceMd5Path(path));
    EXPECT_EQ(kvn_formats::activeMd5Path(), start);
  }
  EXPECT_EQ(kvn_formats::md5Lanes() == 1, start == SimdPath::kScalar);
}

}  // namespace
