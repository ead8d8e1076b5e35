#include "kvn_formats/volume_image/block_fingerprints.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <QFile>
#include <random>

#include "temp_dir.h"
#include "xxh3/xxh3_kernels.h"

namespace {

namespace vi = kvn_formats::volume_image;

std::vector<std::uint8_t> randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = std::uint8_t(random());
  return bytes;
}

vi::Uuid uuid(std::uint8_t first) {
  vi::Uuid id{};
  id[0] = first;
  return id;
}

// What a delta relies on: a set made for a child image fingerprints like its
// parent, a saved set comes back only for its own image and only whole.
TEST(BlockFingerprints, AChildComparesWithItsParentAndASavedSetComesBackOnlyWhole) {
  const auto data = randomBytes(0x200000, 1);
  vi::BlockFingerprints parent(uuid(1), 4);
  const vi::BlockFingerprint print = parent.compute(data.data(), data.size());
  parent.set(2, print);
  EXPECT_TRUE(parent.matches(2, print));
  EXPECT_FALSE(parent.matches(1, print));  // never set
  EXPECT_THROW(parent.set(4, print), std::out_of_range);

  const vi::BlockFingerprints child(uuid(2), 4, parent);
  EXPECT_EQ(child.compute(data.data(), data.size()), print);
  // Another secret, another fingerprint: nobody can foresee one.
  const vi::BlockFingerprints stranger(uuid(3), 4);
  EXPECT_NE(stranger.compute(data.data(), data.size()), print);
  // The last byte of the block takes part.
  auto changed = data;
  changed.back() ^= 1;
  EXPECT_NE(parent.compute(changed.data(), changed.size()), print);

  kvn_test::TempDir dir;
  const QString path = QString::fromStdString(dir.file("h.sig.fp"));
  QString why;
  ASSERT_TRUE(parent.save(path, &why)) << why.toStdString();
  auto loaded = vi::BlockFingerprints::load(path, uuid(1), 4, &why);
  ASSERT_TRUE(loaded) << why.toStdString();
  EXPECT_TRUE(loaded->matches(2, print));
  EXPECT_FALSE(loaded->matches(1, print));
  EXPECT_EQ(loaded->compute(data.data(), data.size()), print);

  EXPECT_FALSE(vi::BlockFingerprints::load(path, uuid(9), 4, &why));
  EXPECT_EQ(why, "made for another image");
  EXPECT_FALSE(vi::BlockFingerprints::load(path, uuid(1), 5, &why));
  EXPECT_FALSE(vi::BlockFingerprints::load(path + "x", uuid(1), 4, &why));

  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadWrite));
  const QByteArray whole = file.readAll();
  for (const qint64 at : {qint64(0), qint64(40), whole.size() - 20, whole.size() - 1}) {
    QByteArray damaged = whole;
    damaged[at] = char(damaged[at] ^ 0x10);
    ASSERT_TRUE(file.seek(0));
    ASSERT_EQ(file.write(damaged), damaged.size());
    ASSERT_TRUE(file.flush());
    EXPECT_FALSE(vi::BlockFingerprints::load(path, uuid(1), 4, &why)) << at;
    EXPECT_EQ(why, "checksum mismatch") << at;
  }
  ASSERT_TRUE(file.resize(whole.size() - 1));
  EXPECT_FALSE(vi::BlockFingerprints::load(path, uuid(1), 4, &why));
}

// Fingerprints saved on one path are compared on whichever the processor
// offers next time: every kernel must give the library's own hash.
TEST(BlockFingerprints, EveryKernelGivesTheLibrarysHash) {
  const auto secret = randomBytes(vi::BlockFingerprints::kSecretSize, 2);
  const auto data = randomBytes(0x200000 + 4096, 3);
  using namespace kvn_formats::xxh3_kernels;
  for (const std::size_t length : {std::size_t(0), std::size_t(17), std::size_t(240),
                                   std::size_t(4096), std::size_t(0x200000), data.size()}) {
    const XXH128_hash_t expected =
        XXH3_128bits_withSecret(data.data(), length, secret.data(), secret.size());
    const auto same = [&](Hash128 h) {
      return h.low == expected.low64 && h.high == expected.high64;
    };
    EXPECT_TRUE(same(xxh3Plain(data.data(), length, secret.data(), secret.size()))) << length;
    EXPECT_TRUE(same(xxh3(data.data(), length, secret.data(), secret.size()))) << length;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) {
      EXPECT_TRUE(same(xxh3Avx2(data.data(), length, secret.data(), secret.size()))) << length;
    }
    if (__builtin_cpu_supports("avx512f")) {
      EXPECT_TRUE(same(xxh3Avx512(data.data(), length, secret.data(), secret.size()))) << length;
    }
#endif
  }
}

}  // namespace
