#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "kvn_log/log.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kvn_test::readFile;
using kvn_test::writeFile;

// Each test logs into its own Zelvo.log and can lay rotated files beside it.
class LogRotation : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("Zelvo.log");
    ASSERT_TRUE(kvn_log::setLogFile(path_));
  }

  std::string numbered(int n) const { return path_ + "." + std::to_string(n); }

  void growLiveFileTo(std::uintmax_t size) {
    std::fflush(stdout);
    fs::resize_file(path_, size);
  }

  kvn_test::LogCapture restoreAfterwards_;
  kvn_test::TempDir dir_;
  std::string path_;
};

TEST_F(LogRotation, RotatesOnlyOnceTheFileHasReachedFiveMebibytes) {
  growLiveFileTo(5242879);
  kvn_log::rotateIfNeeded();
  EXPECT_FALSE(fs::exists(numbered(1)));
  EXPECT_EQ(fs::file_size(path_), 5242879u);

  growLiveFileTo(5242880);
  kvn_log::rotateIfNeeded();
  ASSERT_TRUE(fs::exists(numbered(1)));
  EXPECT_EQ(fs::file_size(numbered(1)), 5242880u);

  // Output goes on into a fresh live file.
  KLOG_I("after rotation");
  std::fflush(stdout);
  const std::string live = readFile(path_);
  EXPECT_NE(live.find("after rotation"), std::string::npos);
  EXPECT_LT(live.size(), 200u);
}

TEST_F(LogRotation, OnlyFilesUpToTheFirstGapAreShifted) {
  writeFile(numbered(1), "one");
  writeFile(numbered(3), "three");
  growLiveFileTo(6000000);
  kvn_log::rotateIfNeeded();
  EXPECT_EQ(readFile(numbered(2)), "one");
  EXPECT_EQ(readFile(numbered(3)), "three");
  EXPECT_EQ(fs::file_size(numbered(1)), 6000000u);
  EXPECT_FALSE(fs::exists(numbered(4)));
}

TEST_F(LogRotation, AFullSetLosesItsOldestFile) {
  for (int n = 1; n <= 5; ++n) writeFile(numbered(n), "old" + std::to_string(n));
  growLiveFileTo(5300000);
  kvn_log::rotateIfNeeded();
  EXPECT_EQ(fs::file_size(numbered(1)), 5300000u);
  for (int n = 2; n <= 5; ++n) EXPECT_EQ(readFile(numbered(n)), "old" + std::to_string(n - 1));
  EXPECT_FALSE(fs::exists(numbered(6)));
}

TEST_F(LogRotation, MissingLiveFileIsLeftAlone) {
  fs::remove(path_);
  kvn_log::rotateIfNeeded();
  EXPECT_FALSE(fs::exists(numbered(1)));
}

TEST(LogFile, UnopenableFileKeepsTheCurrentOutput) {
  kvn_test::LogCapture capture;
  EXPECT_FALSE(kvn_log::setLogFile("/nonexistent-folder/for/sure/Zelvo.log"));
  KLOG_I("still here");
  EXPECT_NE(capture.text().find("still here"), std::string::npos);
}

TEST(LogFile, StandardErrorLandsInTheLogFileToo) {
  kvn_test::LogCapture capture;
  std::fprintf(stderr, "from stderr\n");
  std::fflush(stderr);
  EXPECT_NE(capture.text().find("from stderr"), std::string::npos);
}

}  // namespace
