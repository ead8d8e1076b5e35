// The hand-written signature and delta engine against librsync, which
// stays the reference: identical signatures on every sum path the machine
// has, deltas that librsync and rdiff patch back to the new version, and
// the loading errors of the librsync delta.
#include <gtest/gtest.h>
#include <librsync.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kvn_log/exception.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/block_sums.h"
#include "kvn_rsync/delta_stream.h"
#include "kvn_rsync/previous_signature.h"
#include "kvn_rsync/signature_engine.h"
#include "rsync_differential.h"
#include "rsync_test_support.h"
#include "temp_dir.h"

namespace {

using kvn_rsync::SumPath;
using kvn_rsync_diff::librsyncPatch;
using kvn_rsync_diff::librsyncSignature;

const SumPath kAllPaths[] = {SumPath::kScalar, SumPath::kAvx2, SumPath::kAvx512};

// Runs body once per sum path the processor has, restoring the start path.
template <typename Body>
void onEveryPath(Body body) {
  const SumPath start = kvn_rsync::activeSumPath();
  for (SumPath path : kAllPaths) {
    if (!kvn_rsync::forceSumPath(path)) continue;
    SCOPED_TRACE(kvn_rsync::sumPathName(path));
    body();
  }
  kvn_rsync::forceSumPath(start);
}

std::string hex(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

TEST(BlockSums, Md4MatchesKnownDigestsAndLibrsyncOnEveryPath) {
  std::uint8_t digest[kvn_rsync::kMd4Length];
  const std::string abc = "abc";
  kvn_rsync::md4(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size(), digest);
  EXPECT_EQ(hex(digest, 16), "a448017aaf21d8525fc10ae87aa6729d");
  kvn_rsync::md4(nullptr, 0, digest);
  EXPECT_EQ(hex(digest, 16), "31d6cfe0d16ae931b73c59d7e0c089c0");

  // Lengths around the padding limits (55/56, 63/64) and whole blocks;
  // counts below, at and above every lane width.
  const std::string data = kvn_rsync_test::randomBytes(70 * 2100, 7);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  onEveryPath([&] {
    for (std::size_t length : {1, 55, 56, 63, 64, 65, 119, 120, 2047, 2048, 2100}) {
      for (std::size_t count : {1, 3, 8, 9, 16, 17, 32, 33, 70}) {
        std::vector<std::uint8_t> digests(count * kvn_rsync::kMd4Length);
        kvn_rsync::md4Blocks(bytes, 2100, length, count, digests.data());
        for (std::size_t i = 0; i < count; ++i) {
          rs_mdfour(digest, bytes + i * 2100, length);
          ASSERT_EQ(hex(&digests[i * 16], 16), hex(digest, 16))
              << "length " << length << " count " << count << " message " << i;
        }
      }
    }
  });
}

TEST(BlockSums, WeakSumAgreesWithRollingItAlongOnEveryPath) {
  const std::string data = kvn_rsync_test::randomBytes(5000, 9) + std::string(3000, '\xff');
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  onEveryPath([&] {
    for (std::size_t window : {1, 31, 32, 33, 700, 2048}) {
      kvn_rsync::RollingSum sum;
      sum.reset(bytes, window);
      for (std::size_t at = 0; at + window < data.size(); at += 97) {
        ASSERT_EQ(sum.digest(), kvn_rsync::weakSum(bytes + at, window)) << window << "@" << at;
        for (std::size_t step = 0; step < 97 && at + step + window < data.size(); ++step)
          sum.rotate(bytes[at + step], bytes[at + step + window]);
      }
    }
  });
}

TEST(SignatureEngine, EqualsLibrsyncForEdgeSizesChunkingsAndPaths) {
  for (std::uint64_t block : {2048u, 4096u, 700u}) {
    const std::string data = kvn_rsync_test::randomBytes(70 * block + 5, block);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, block - 1, block, block + 1,
                             33 * block + 17, data.size()}) {
      const std::string input = data.substr(0, size);
      const std::string expected = librsyncSignature(input, block);
      onEveryPath([&] {
        for (std::size_t chunk : {std::size_t{1000}, std::size_t{0x10000}, std::size_t{7777}}) {
          kvn_rsync::SignatureEngine engine(block);
          const auto sink = kvn_rsync_test::pushThrough(engine, input, chunk);
          ASSERT_TRUE(sink.bytes == expected)
              << "block " << block << " size " << size << " chunk " << chunk;
        }
      });
    }
  }
}

// A few hundred seeded cases of the fuzz target's check, on every path.
TEST(FusedDelta, SeededRandomEditsAgreeWithLibrsync) {
  std::mt19937_64 random(20261209);
  onEveryPath([&] {
    for (int i = 0; i < 120; ++i) {
      std::uint8_t input[64];
      for (auto& byte : input) byte = static_cast<std::uint8_t>(random());
      const kvn_rsync_diff::Case c = kvn_rsync_diff::makeCase(input, sizeof input);
      ASSERT_EQ(kvn_rsync_diff::check(c), "")
          << "case " << i << ": old block " << c.oldBlock << ", new block " << c.newBlock
          << ", chunk " << c.chunk << ", sizes " << c.basis.size() << "/" << c.changed.size();
    }
  });
}

// Unchanged data must come out as copies: a delta that is all literal
// patches fine yet defeats the purpose.
TEST(FusedDelta, UnchangedAndSparselyEditedDataBecomeCopies) {
  const std::string basis = kvn_rsync_test::randomBytes(3 * 0x100000 + 123, 5);
  std::string signature = librsyncSignature(basis, 2048);
  const auto sums = kvn_rsync_diff::loadSums(signature);
  ASSERT_TRUE(sums);
  kvn_rsync_diff::Case same{basis, basis, 2048, 2048, 0x10000};
  const auto unchanged = kvn_rsync_diff::fusedDelta(*sums, same);
  // Magic, one copy of the whole file, end.
  EXPECT_LE(unchanged.delta.size(), 4u + 1 + 8 + 8 + 1);
  EXPECT_EQ(librsyncPatch(basis, unchanged.delta), basis);
  EXPECT_EQ(unchanged.signature, signature);

  kvn_rsync_diff::Case edited{basis, kvn_rsync_test::sparselyEdited(basis), 2048, 2048, 0x10000};
  const auto delta = kvn_rsync_diff::fusedDelta(*sums, edited);
  EXPECT_LT(delta.delta.size(), 8 * 2048u + 1000);
  EXPECT_EQ(librsyncPatch(basis, delta.delta), edited.changed);
  EXPECT_EQ(delta.signature, librsyncSignature(edited.changed, 2048));
}

struct File {
  std::FILE* file;
  explicit File(const std::string& bytes) : file(std::tmpfile()) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
  }
  ~File() { std::fclose(file); }
};

// What DeltaStream throws for this signature, or code 0 when it loads.
std::pair<std::uint32_t, std::string> librsyncLoad(const std::string& signature) {
  File file(signature);
  try {
    kvn_rsync::DeltaStream stream(file.file);
  } catch (const KvnCommonException& e) {
    return {e.code, e.what()};
  }
  return {0, ""};
}

std::pair<std::uint32_t, std::string> engineLoad(const std::string& signature) {
  File file(signature);
  try {
    kvn_rsync::PreviousSignature previous(file.file);
  } catch (const KvnCommonException& e) {
    return {e.code, e.what()};
  }
  return {0, ""};
}

TEST(PreviousSignature, DamagedSignaturesFailLikeLibrsync) {
  const std::string good = librsyncSignature(kvn_rsync_test::randomBytes(10000, 3), 2048);
  std::string badMagic = good;
  badMagic[0] = 'X';
  for (const std::string& damaged : {good.substr(0, good.size() - 5), good.substr(0, 17),
                                     good.substr(0, 7), std::string(), badMagic}) {
    const auto expected = librsyncLoad(damaged);
    EXPECT_EQ(expected.first, kvn_rsync::kLoadSigError) << damaged.size();
    EXPECT_EQ(engineLoad(damaged), expected) << damaged.size();
  }
}

TEST(PreviousSignature, OtherFormatsGoToLibrsyncAndStillGiveAWorkingDelta) {
  kvn_test::TempDir dir;
  const std::string basis = kvn_rsync_test::randomBytes(300000, 11);
  const std::string changed = kvn_rsync_test::sparselyEdited(basis) + basis.substr(0, 5000);
  kvn_test::writeFile(dir.file("basis"), basis);
  struct Format {
    QStringList options;
    bool handWritten;
  };
  // rdiff's default weak sum is RabinKarp, which has its own magic.
  const Format formats[] = {{{"-H", "md4", "-R", "rollsum", "-S", "8"}, true},
                            {{"-H", "md4", "-S", "8"}, false},
                            {{"-H", "blake2", "-R", "rollsum"}, false},
                            {{"-H", "md4", "-R", "rollsum", "-S", "16"}, false}};
  for (const Format& format : formats) {
    SCOPED_TRACE(format.options.join(' ').toStdString());
    ASSERT_NO_FATAL_FAILURE(
        kvn_rsync_test::rdiff(QStringList{"-f", "signature"} + format.options +
                              QStringList{QString::fromStdString(dir.file("basis")),
                                          QString::fromStdString(dir.file("sig"))}));
    File file(kvn_test::readFile(dir.file("sig")));
    kvn_rsync::PreviousSignature previous(file.file);
    EXPECT_EQ(previous.handWritten(), format.handWritten);
    kvn_rsync_diff::StringSink newSignature;
    auto stream = previous.deltaAndSignature(2048, newSignature);
    const std::string delta = kvn_rsync_test::pushThrough(*stream, changed).bytes;
    EXPECT_EQ(newSignature.ends, 1);
    EXPECT_TRUE(newSignature.bytes == librsyncSignature(changed, 2048));
    EXPECT_TRUE(librsyncPatch(basis, delta) == changed);
  }
}

// The box patches with the rdiff tool's library build; one end-to-end run
// through the real tool with a file large enough for several lanes' runs.
TEST(FusedDelta, RdiffPatchesTheEngineDelta) {
  kvn_test::TempDir dir;
  const std::string basis = kvn_rsync_test::randomBytes(9 * 0x100000 + 77, 21);
  std::string changed = kvn_rsync_test::sparselyEdited(basis);
  changed.erase(0x300000, 5000);
  const std::uint64_t block = kvn_rsync::blockLength(basis.size());
  kvn_test::writeFile(dir.file("basis"), basis);
  const auto q = [&dir](const char* name) { return QString::fromStdString(dir.file(name)); };
  ASSERT_NO_FATAL_FAILURE(
      kvn_rsync_test::rdiff({"-f", "-b", QString::number(block), "-S", "8", "-H", "md4", "-R",
                             "rollsum", "signature", q("basis"), q("sig")}));
  File file(kvn_test::readFile(dir.file("sig")));
  kvn_rsync::PreviousSignature previous(file.file);
  ASSERT_TRUE(previous.handWritten());
  kvn_rsync_diff::StringSink newSignature;
  auto stream = previous.deltaAndSignature(kvn_rsync::blockLength(changed.size()), newSignature);
  kvn_test::writeFile(dir.file("delta"), kvn_rsync_test::pushThrough(*stream, changed).bytes);
  ASSERT_NO_FATAL_FAILURE(kvn_rsync_test::rdiff({"-f", "patch", q("basis"), q("delta"), q("out")}));
  EXPECT_TRUE(kvn_test::readFile(dir.file("out")) == changed);
  EXPECT_TRUE(newSignature.bytes ==
              librsyncSignature(changed, kvn_rsync::blockLength(changed.size())));
}

}  // namespace
