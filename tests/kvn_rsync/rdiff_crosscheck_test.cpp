// Signatures, deltas and patches checked against the real rdiff tool, so
// that the box (which speaks plain librsync formats) can read what the agent
// writes and the agent can read what the box sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "kvn_rsync/block_length.h"
#include "kvn_rsync/delta_stream.h"
#include "kvn_rsync/patch_stream.h"
#include "kvn_rsync/signature_stream.h"
#include "rsync_test_support.h"
#include "temp_dir.h"

namespace {

using kvn_rsync_test::pushThrough;
using kvn_rsync_test::rdiff;
using kvn_test::readFile;
using kvn_test::writeFile;

constexpr std::size_t kMiB = 0x100000;

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

struct FdCloser {
  void operator()(const int* fd) const {
    ::close(*fd);
    delete fd;
  }
};

// Reads the basis with pread, as a cached basis file is read.
kvn_rsync::PatchStream::BasisReader randomReader(int fd) {
  return [fd](std::int64_t offset, std::size_t length, char* buffer) -> std::size_t {
    const ssize_t got = ::pread(fd, buffer, length, offset);
    return got < 0 ? 0 : static_cast<std::size_t>(got);
  };
}

// Reads the basis strictly forward, like a download in progress.
kvn_rsync::PatchStream::BasisReader sequentialReader(const std::string& basis) {
  auto cursor = std::make_shared<std::size_t>(0);
  return [&basis, cursor](std::int64_t skip, std::size_t length, char* buffer) -> std::size_t {
    *cursor = std::min(basis.size(), *cursor + static_cast<std::size_t>(skip));
    const std::size_t got = std::min(length, basis.size() - *cursor);
    std::copy_n(basis.data() + *cursor, got, buffer);
    *cursor += got;
    return got;
  };
}

class RdiffCrossCheck : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    basis_ = kvn_rsync_test::randomBytes(GetParam(), GetParam() + 1);
    changed_ = kvn_rsync_test::sparselyEdited(basis_);
    writeFile(path("basis"), basis_);
    writeFile(path("new"), changed_);
  }
  std::string path(const std::string& name) const { return dir_.file(name); }
  QString qpath(const std::string& name) const { return QString::fromStdString(path(name)); }

  kvn_test::TempDir dir_;
  std::string basis_;
  std::string changed_;
};

TEST_P(RdiffCrossCheck, RdiffDeltaAcceptsOurSignature) {
  const std::uint64_t blockLength = kvn_rsync::blockLength(basis_.size());
  kvn_rsync::SignatureStream stream(blockLength);
  const std::string signature = pushThrough(stream, basis_).bytes;
  ASSERT_GE(signature.size(), 12u);
  EXPECT_EQ(bigEndian32(signature, 0), 0x72730136u);  // MD4 strong sums
  EXPECT_EQ(bigEndian32(signature, 4), blockLength);
  EXPECT_EQ(bigEndian32(signature, 8), 8u);
  const std::size_t blocks = (basis_.size() + blockLength - 1) / blockLength;
  EXPECT_EQ(signature.size(), 12 + blocks * (4 + 8));

  writeFile(path("sig"), signature);
  ASSERT_NO_FATAL_FAILURE(rdiff({"delta", qpath("sig"), qpath("new"), qpath("delta")}));
  ASSERT_NO_FATAL_FAILURE(rdiff({"patch", qpath("basis"), qpath("delta"), qpath("out")}));
  EXPECT_TRUE(readFile(path("out")) == changed_);
}

TEST_P(RdiffCrossCheck, RdiffPatchRebuildsFromOurDelta) {
  ASSERT_NO_FATAL_FAILURE(rdiff({"signature", qpath("basis"), qpath("sig")}));
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> signature(std::fopen(path("sig").c_str(), "rb"),
                                                            &std::fclose);
  ASSERT_TRUE(signature);
  kvn_rsync::DeltaStream stream(signature.get());
  writeFile(path("delta"), pushThrough(stream, changed_).bytes);
  ASSERT_NO_FATAL_FAILURE(rdiff({"patch", qpath("basis"), qpath("delta"), qpath("out")}));
  EXPECT_TRUE(readFile(path("out")) == changed_);
}

TEST_P(RdiffCrossCheck, PatchStreamAppliesRdiffDelta) {
  ASSERT_NO_FATAL_FAILURE(rdiff({"signature", qpath("basis"), qpath("sig")}));
  ASSERT_NO_FATAL_FAILURE(rdiff({"delta", qpath("sig"), qpath("new"), qpath("delta")}));
  const std::string delta = readFile(path("delta"));

  std::unique_ptr<int, FdCloser> fd(new int(::open(path("basis").c_str(), O_RDONLY)));
  ASSERT_GE(*fd, 0);
  kvn_rsync::PatchStream random(randomReader(*fd), false);
  EXPECT_TRUE(pushThrough(random, delta).bytes == changed_);

  // Sparse edits keep the copies in basis order, so a forward-only basis
  // is enough.
  kvn_rsync::PatchStream sequential(sequentialReader(basis_), true);
  EXPECT_TRUE(pushThrough(sequential, delta).bytes == changed_);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RdiffCrossCheck,
                         ::testing::Values(0, 1, 4 * kMiB, 4 * kMiB + 1, 16 * kMiB, 64 * kMiB),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return "Bytes" + std::to_string(info.param);
                         });

}  // namespace
