// The file-backup benchmark's data and its child box: the changes between
// the full and the incremental run must be the size the figures claim and
// must be visible to the agent (new modification time), and the box's
// "stored" lines must be counted once each.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "file_backup/box_process.h"
#include "file_backup/test_tree.h"
#include "process_runner.h"
#include "temp_dir.h"

namespace {

using kvn_bench::TestTree;

std::vector<char> contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::time_t modifiedOf(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mtime : 0;
}

// How well gzip -1 packs the bytes: compressed size / size.
double packedRatio(const char* data, std::size_t size) {
  uLongf packed = compressBound(size);
  std::vector<Bytef> out(packed);
  compress2(out.data(), &packed, reinterpret_cast<const Bytef*>(data), size, 1);
  return double(packed) / double(size);
}

TEST(BenchData, BigFileAlternatesCompressibleAndRandomMegabytes) {
  kvn_test::TempDir dir;
  TestTree tree(dir.path());
  constexpr std::uint64_t kSize = (4 << 20) + 12345;  // a last, partial block
  ASSERT_TRUE(tree.makeBigFile(kSize));
  const auto content = contentOf(tree.bigFile());
  ASSERT_EQ(content.size(), kSize);
  EXPECT_LT(packedRatio(content.data(), 1 << 20), 0.5);
  EXPECT_GT(packedRatio(content.data() + (1 << 20), 1 << 20), 0.99);
  EXPECT_LT(packedRatio(content.data() + (4 << 20), 12345), 0.5);
  EXPECT_EQ(modifiedOf(tree.bigFile()), TestTree::kOriginalTime);
}

TEST(BenchData, BigFileChangeTouchesOnePercentInDistinctRegions) {
  kvn_test::TempDir dir;
  TestTree tree(dir.path());
  constexpr std::uint64_t kSize = 64 << 20;  // 1% is ten 64 KiB regions
  ASSERT_TRUE(tree.makeBigFile(kSize));
  const auto before = contentOf(tree.bigFile());
  EXPECT_EQ(tree.changeBigFile(kSize), 10 * TestTree::kRegion);
  const auto after = contentOf(tree.bigFile());
  ASSERT_EQ(after.size(), kSize);
  int changedRegions = 0;
  for (std::uint64_t at = 0; at < kSize; at += TestTree::kRegion) {
    changedRegions += std::memcmp(before.data() + at, after.data() + at, TestTree::kRegion) != 0;
  }
  EXPECT_EQ(changedRegions, 10);
  EXPECT_EQ(modifiedOf(tree.bigFile()), TestTree::kChangedTime);
}

TEST(BenchData, TinyBigFileStillGetsOneChange) {
  kvn_test::TempDir dir;
  TestTree tree(dir.path());
  ASSERT_TRUE(tree.makeBigFile(1000));
  const auto before = contentOf(tree.bigFile());
  EXPECT_EQ(tree.changeBigFile(1000), 1000u);
  EXPECT_NE(contentOf(tree.bigFile()), before);
  EXPECT_EQ(contentOf(tree.bigFile()).size(), 1000u);
}

TEST(BenchData, SmallFilesChangeOnePercentAndOnlyThoseAreRedated) {
  kvn_test::TempDir dir;
  TestTree tree(dir.path());
  const std::uint64_t bytes = tree.makeSmallFiles(250);
  ASSERT_GT(bytes, 0u);
  std::uint64_t sum = 0;
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.smallFolder())) {
    if (!entry.is_regular_file()) continue;
    ++files;
    sum += entry.file_size();
    EXPECT_GE(entry.file_size(), 1024u);
    EXPECT_LE(entry.file_size(), TestTree::kRegion);
  }
  EXPECT_EQ(files, 250);
  EXPECT_EQ(sum, bytes);

  EXPECT_EQ(tree.changeSmallFiles(250), 2u);
  int redated = 0;
  std::uint64_t sumAfter = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.smallFolder())) {
    if (!entry.is_regular_file()) continue;
    sumAfter += entry.file_size();
    redated += modifiedOf(entry.path()) == TestTree::kChangedTime;
  }
  EXPECT_EQ(redated, 2);
  EXPECT_EQ(sumAfter, bytes) << "a change overwrites, it does not truncate";
}

// A stand-in for boxsim: prints what the real one prints.
std::vector<std::string> shellBox(const std::string& script) { return {"-c", script}; }

TEST(BenchBoxProcess, CountsStoredLinesOnceAndSkipsAHalfWrittenLine) {
  kvn_test::TempDir dir;
  kvn_bench::BoxProcess box;
  ASSERT_TRUE(box.start("/bin/sh",
                        shellBox("echo 'boxsim ready: box'; "
                                 "echo 'stored /a v1 5 bytes (full)'; "
                                 "echo 'stored /b v2 7 bytes (delta)'; "
                                 "echo 'stored /c v1 9 bytes (full)'; "
                                 "printf 'stored /d v1 1 bytes (fu'; exec sleep 30"),
                        dir.file("box.log")))
      << box.error();
  // The lines may still be on their way.
  kvn_bench::StoredCount first;
  EXPECT_TRUE(kvn_test::waitFor(
      [&] {
        const auto more = box.takeStored();
        first.full += more.full;
        first.delta += more.delta;
        return first.full + first.delta >= 3;
      },
      std::chrono::seconds(10)));
  EXPECT_EQ(first.full, 2);
  EXPECT_EQ(first.delta, 1);
  const auto second = box.takeStored();
  EXPECT_EQ(second.full + second.delta, 0);
  EXPECT_TRUE(box.running());
  box.stop();
  EXPECT_FALSE(box.running());
}

TEST(BenchBoxProcess, ProgramThatExitsBeforeReadyIsReportedWithItsOutput) {
  kvn_test::TempDir dir;
  kvn_bench::BoxProcess box;
  EXPECT_FALSE(box.start("/bin/sh", shellBox("echo 'cannot listen'; exit 2"), dir.file("box.log")));
  EXPECT_NE(box.error().find("cannot listen"), std::string::npos) << box.error();
  EXPECT_FALSE(box.start("/nonexistent/boxsim", {}, dir.file("box2.log")));
}

}  // namespace
