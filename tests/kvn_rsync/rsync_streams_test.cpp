// Block length, output blocking and the failure paths of the rsync elements.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "thrown.h"
#include "kvn_log/exception.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/delta_stream.h"
#include "kvn_rsync/patch_file.h"
#include "kvn_rsync/patch_stream.h"
#include "kvn_rsync/signature_stream.h"
#include "log_capture.h"
#include "rsync_test_support.h"
#include "temp_dir.h"

using kvn_test::thrownBy;

namespace {

using kvn_rsync_test::pushThrough;
using kvn_rsync_test::randomBytes;
using kvn_rsync_test::rdiff;
using kvn_rsync_test::RecordingSink;
using kvn_test::readFile;
using kvn_test::writeFile;

constexpr std::uint64_t kMiB = 0x100000;

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;
FilePtr openFile(const std::string& path) {
  return FilePtr(std::fopen(path.c_str(), "rb"), &std::fclose);
}


TEST(BlockLength, GrowsWithTheSquareRootAboveFourMiB) {
  EXPECT_EQ(kvn_rsync::blockLength(0), 2048u);
  EXPECT_EQ(kvn_rsync::blockLength(4 * kMiB), 2048u);
  EXPECT_EQ(kvn_rsync::blockLength(4 * kMiB + 1), 4096u);
  EXPECT_EQ(kvn_rsync::blockLength(16 * kMiB), 4096u);
  EXPECT_EQ(kvn_rsync::blockLength(16 * kMiB + 1), 8192u);
  EXPECT_EQ(kvn_rsync::blockLength(64 * kMiB), 8192u);
  EXPECT_EQ(kvn_rsync::blockLength(4096 * kMiB), 65536u);
  EXPECT_EQ(kvn_rsync::blockLength(UINT64_MAX), std::uint64_t{1} << 32);
}

TEST(RsyncOutput, SmallWritesStillLeaveInWholeBlocks) {
  const std::string data = randomBytes(3 * kMiB, 7);
  // Short blocks make a signature of several 64 KiB blocks.
  kvn_rsync::SignatureStream reference(256);
  const std::string expected = pushThrough(reference, data).bytes;
  kvn_rsync::SignatureStream stream(256);
  const RecordingSink sink = pushThrough(stream, data, 1000);
  EXPECT_TRUE(sink.bytes == expected);
  EXPECT_GT(sink.blocks.size(), 1u);
}

// A hand-made delta: magic, COPY(190, 10), COPY(100, 10), END.
std::string backwardsDelta() {
  return std::string("\x72\x73\x02\x36", 4) + "\x45\xbe\x0a" + "\x45\x64\x0a" +
         std::string(1, '\0');
}

std::string digits() {
  std::string basis;
  for (int i = 0; i < 300; ++i) basis += static_cast<char>('0' + i % 10);
  return basis;
}

kvn_rsync::PatchStream::BasisReader stringReader(const std::string& basis, std::int64_t* cursor) {
  return [&basis, cursor](std::int64_t offset, std::size_t length, char* buffer) -> std::size_t {
    const std::int64_t from = cursor ? *cursor + offset : offset;
    const std::size_t got = std::min(length, basis.size() - static_cast<std::size_t>(from));
    std::copy_n(basis.data() + from, got, buffer);
    if (cursor) *cursor = from + static_cast<std::int64_t>(got);
    return got;
  };
}

TEST(PatchStream, SequentialBasisCannotGoBack) {
  const std::string basis = digits();
  std::int64_t cursor = 0;
  kvn_rsync::PatchStream stream(stringReader(basis, &cursor), true);
  RecordingSink sink;
  stream.setNext(&sink);
  const std::string delta = backwardsDelta();
  const KvnCommonException e = thrownBy([&] {
    stream.write(delta.data(), static_cast<std::uint32_t>(delta.size()));
    stream.end();
  });
  EXPECT_EQ(e.code, kvn_rsync::kRollbackError);
  EXPECT_STREQ(e.what(), "rs_callback cannot rollback 200 > 100");

  // A random-access basis serves the same delta.
  kvn_rsync::PatchStream random(stringReader(basis, nullptr), false);
  EXPECT_EQ(pushThrough(random, delta).bytes, basis.substr(190, 10) + basis.substr(100, 10));
}

TEST(PatchStream, EndOfBasisAndReaderErrorsReachTheCaller) {
  const std::string delta = backwardsDelta();
  kvn_rsync::PatchStream empty([](std::int64_t, std::size_t, char*) { return std::size_t{0}; },
                               false);
  RecordingSink sink;
  empty.setNext(&sink);
  KvnCommonException e = thrownBy([&] {
    empty.write(delta.data(), static_cast<std::uint32_t>(delta.size()));
    empty.end();
  });
  EXPECT_EQ(e.code, KVN_E_SERVER);
  EXPECT_STREQ(e.what(), "rs_callback reached EoF (pos=190)");

  // An exception of the reader itself crosses librsync unchanged.
  kvn_rsync::PatchStream failing(
      [](std::int64_t, std::size_t, char*) -> std::size_t {
        throw KvnCommonException(KVN_HERE, KVN_E_NETWORK, "download lost");
      },
      false);
  failing.setNext(&sink);
  e = thrownBy([&] {
    failing.write(delta.data(), static_cast<std::uint32_t>(delta.size()));
    failing.end();
  });
  EXPECT_EQ(e.code, KVN_E_NETWORK);
  EXPECT_STREQ(e.what(), "download lost");
}

TEST(PatchStream, ShortBasisReadsAreCompleted) {
  const std::string basis = randomBytes(kMiB, 3);
  kvn_test::TempDir dir;
  writeFile(dir.file("basis"), basis);
  writeFile(dir.file("new"), kvn_rsync_test::sparselyEdited(basis));
  ASSERT_NO_FATAL_FAILURE(rdiff({"signature", QString::fromStdString(dir.file("basis")),
                                 QString::fromStdString(dir.file("sig"))}));
  ASSERT_NO_FATAL_FAILURE(
      rdiff({"delta", QString::fromStdString(dir.file("sig")),
             QString::fromStdString(dir.file("new")), QString::fromStdString(dir.file("delta"))}));
  auto reader = stringReader(basis, nullptr);
  kvn_rsync::PatchStream stream(
      [&](std::int64_t offset, std::size_t length, char* buffer) {
        return reader(offset, std::min<std::size_t>(length, 1000), buffer);
      },
      false);
  EXPECT_TRUE(pushThrough(stream, readFile(dir.file("delta"))).bytes == readFile(dir.file("new")));
}

TEST(PatchStream, BrokenDeltasFail) {
  const std::string good = backwardsDelta();
  const std::string cases[] = {
      std::string(),                      // not even the magic number
      good.substr(0, good.size() - 3),    // cut inside a command
      "garbage that is no delta at all",  // wrong magic
      good + "trailing",                  // bytes after the end command
  };
  const std::string basis = digits();
  for (const std::string& delta : cases) {
    kvn_rsync::PatchStream stream(stringReader(basis, nullptr), false);
    RecordingSink sink;
    stream.setNext(&sink);
    const KvnCommonException e = thrownBy([&] {
      if (!delta.empty()) stream.write(delta.data(), static_cast<std::uint32_t>(delta.size()));
      stream.end();
    });
    EXPECT_EQ(e.code, KVN_E_SERVER) << delta;
    EXPECT_STRNE(e.what(), "") << delta;
    EXPECT_EQ(sink.ends, 0) << delta;
  }
}

TEST(DeltaStream, CorruptSignatureFailsWithTheLoadsigCode) {
  kvn_test::TempDir dir;
  kvn_rsync::SignatureStream signer(2048);
  const std::string signature = pushThrough(signer, randomBytes(10000, 5)).bytes;
  const std::string cases[] = {
      std::string(), "this is not a signature",
      signature.substr(0, 12 + 5),  // cut inside the first block's sums
  };
  for (const std::string& content : cases) {
    writeFile(dir.file("sig"), content);
    FilePtr file = openFile(dir.file("sig"));
    ASSERT_TRUE(file);
    const KvnCommonException e = thrownBy([&] { kvn_rsync::DeltaStream stream(file.get()); });
    EXPECT_EQ(e.code, kvn_rsync::kLoadSigError) << content.size();
    EXPECT_EQ(std::string(e.what()).rfind("RSync loadsig error (", 0), 0u) << e.what();
  }
}

TEST(DeltaStream, UnfinishedStreamsReleaseEverything) {
  kvn_test::TempDir dir;
  kvn_rsync::SignatureStream signer(2048);
  writeFile(dir.file("sig"), pushThrough(signer, randomBytes(100000, 9)).bytes);
  FilePtr file = openFile(dir.file("sig"));
  RecordingSink sink;
  const std::string data = randomBytes(300000, 9);
  // The sanitizer build reports any job or signature set left behind.
  kvn_rsync::DeltaStream delta(file.get());
  delta.setNext(&sink);
  delta.write(data.data(), static_cast<std::uint32_t>(data.size()));
  const std::string basis = digits();
  const std::string unfinishedDelta = backwardsDelta().substr(0, 7);
  kvn_rsync::PatchStream patch(stringReader(basis, nullptr), false);
  RecordingSink patchSink;
  patch.setNext(&patchSink);
  patch.write(unfinishedDelta.data(), static_cast<std::uint32_t>(unfinishedDelta.size()));
}

TEST(PatchFile, AppliesADeltaAndReportsEveryFailure) {
  kvn_test::TempDir dir;
  const std::string basis = randomBytes(200000, 11);
  const std::string changed = kvn_rsync_test::sparselyEdited(basis);
  writeFile(dir.file("basis"), basis);
  kvn_rsync::SignatureStream signer(kvn_rsync::blockLength(basis.size()));
  writeFile(dir.file("sig"), pushThrough(signer, basis).bytes);
  FilePtr signature = openFile(dir.file("sig"));
  kvn_rsync::DeltaStream delta(signature.get());
  writeFile(dir.file("delta"), pushThrough(delta, changed).bytes);
  writeFile(dir.file("bad-delta"), backwardsDelta().substr(0, 6));

  kvn_test::LogCapture capture;
  EXPECT_TRUE(kvn_rsync::patchFile(dir.file("basis"), dir.file("delta"), dir.file("out")));
  EXPECT_TRUE(readFile(dir.file("out")) == changed);

  EXPECT_FALSE(kvn_rsync::patchFile(dir.file("nothing"), dir.file("delta"), dir.file("out")));
  EXPECT_FALSE(kvn_rsync::patchFile(dir.file("basis"), dir.file("nothing"), dir.file("out")));
  EXPECT_FALSE(kvn_rsync::patchFile(dir.file("basis"), dir.file("delta"), dir.file("no/out")));
  EXPECT_FALSE(kvn_rsync::patchFile(dir.file("basis"), dir.file("bad-delta"), dir.file("out")));
  // A device that is always full: the lost bytes must not pass for a patch.
  EXPECT_FALSE(kvn_rsync::patchFile(dir.file("basis"), dir.file("delta"), "/dev/full"));

  const std::string log = capture.text();
  EXPECT_NE(log.find("failed to fopen basisfile " + dir.file("nothing")), std::string::npos);
  EXPECT_NE(log.find("failed to fopen deltafile " + dir.file("nothing")), std::string::npos);
  EXPECT_NE(log.find("failed to open newfile " + dir.file("no/out")), std::string::npos);
  EXPECT_NE(log.find("cannot apply patch (basisfile=\"" + dir.file("basis") + "\", deltafile=\"" +
                     dir.file("bad-delta") + "\", newfile=\""),
            std::string::npos);
  EXPECT_NE(log.find("newfile=\"/dev/full\"): "), std::string::npos) << log;
}

}  // namespace
