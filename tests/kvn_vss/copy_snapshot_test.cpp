// The test library: real frozen copies that later live edits do not reach,
// refused volumes, the ready file and hold, and the clean-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <thread>

#include "../kvn_log/log_capture.h"
#include "process_runner.h"
#include "vss_test_support.h"

namespace {

using kvn_test::native;
using kvn_test::occurrences;
using kvn_test::readFile;
using kvn_test::writeFile;

constexpr std::time_t kPast = 1'500'000'000;

class CopySnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library_.loaded()); }

  // A volume with a file, a sub-folder, and links to both.
  QString makeVolume(const kvn_test::TempDir& dir) {
    writeFile(dir.file("a.txt"), "one");
    std::filesystem::create_directory(dir.file("sub"));
    writeFile(dir.file("sub/b.txt"), "two");
    std::filesystem::create_symlink("a.txt", dir.file("link"));
    std::filesystem::create_directory_symlink("sub", dir.file("dirlink"));
    kvn_test::setModified(dir.file("a.txt"), kPast);
    kvn_test::setModified(dir.file("link"), kPast + 1);
    kvn_test::setModified(dir.file("sub/b.txt"), kPast + 2);
    kvn_test::setModified(dir.file("sub"), kPast + 3);
    return QString::fromStdString(dir.path());
  }

  kvn_test::ScopedVssLibrary library_{KVN_VSS_TEST_LIBRARY};
  kvn_test::TempDir copies_;
  kvn_test::ScopedEnv copiesDir_{"KVN_TEST_SNAPSHOT_DIR", copies_.path()};
};

TEST_F(CopySnapshotTest, CopyIsFrozenAndKeepsLinksAndTimes) {
  kvn_test::TempDir live;
  const QString volume = makeVolume(live);
  kvn_vss::ShadowCopySet set;
  ASSERT_TRUE(set.create({volume}));
  EXPECT_TRUE(set.createdAt().isValid());
  const std::string root = native(set.snapshotPath(volume));
  ASSERT_FALSE(root.empty());
  EXPECT_NE(root.find(copies_.path()), std::string::npos);

  writeFile(live.file("a.txt"), "changed");
  std::filesystem::remove(live.file("sub/b.txt"));
  writeFile(live.file("new.txt"), "new");

  EXPECT_EQ(readFile(root + "/a.txt"), "one");
  EXPECT_EQ(readFile(root + "/sub/b.txt"), "two");
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(root + "/new.txt")));
  ASSERT_TRUE(std::filesystem::is_symlink(root + "/link"));
  EXPECT_EQ(std::filesystem::read_symlink(root + "/link"), "a.txt");
  ASSERT_TRUE(std::filesystem::is_symlink(root + "/dirlink"));
  EXPECT_EQ(std::filesystem::read_symlink(root + "/dirlink"), "sub");
  EXPECT_EQ(kvn_test::modified(root + "/a.txt"), kPast);
  EXPECT_EQ(kvn_test::modified(root + "/link"), kPast + 1);
  EXPECT_EQ(kvn_test::modified(root + "/sub/b.txt"), kPast + 2);
  EXPECT_EQ(kvn_test::modified(root + "/sub"), kPast + 3);

  set.release();
  EXPECT_FALSE(std::filesystem::exists(root));
  EXPECT_TRUE(set.snapshotPath(volume).isEmpty());
  set.release();  // nothing left to delete
}

TEST_F(CopySnapshotTest, RefusedVolumeHasNoPathWhileOthersAreCopied) {
  kvn_test::TempDir first, second;
  const QString refused = makeVolume(first);
  const QString kept = makeVolume(second);
  kvn_test::ScopedEnv fail("KVN_TEST_SNAPSHOT_FAIL", "/nowhere:" + native(refused));
  kvn_test::LogCapture capture;
  kvn_vss::ShadowCopySet set;

  EXPECT_FALSE(set.create({refused, kept}));
  EXPECT_FALSE(set.isEmpty());
  EXPECT_TRUE(set.snapshotPath(refused).isEmpty());
  const std::string root = native(set.snapshotPath(kept));
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(readFile(root + "/sub/b.txt"), "two");

  const std::string log = capture.text();
  EXPECT_EQ(occurrences(log, "VSS: AddToSnapshotSet "), 2u) << log;
  EXPECT_EQ(occurrences(log, "CreateShadowVolume: AddToSnapshotSet fails"), 1u) << log;
  EXPECT_EQ(occurrences(log, "Snapshot: OriginalVolumeName : " + native(kept)), 1u) << log;
}

TEST_F(CopySnapshotTest, HoldLetsATestChangeLiveFilesAfterTheCopy) {
  kvn_test::TempDir live, control;
  const QString volume = makeVolume(live);
  const std::string ready = control.file("ready");
  kvn_test::ScopedEnv readyFile("KVN_TEST_SNAPSHOT_READY_FILE", ready);
  kvn_test::ScopedEnv hold("KVN_TEST_SNAPSHOT_HOLD", "1");
  kvn_vss::ShadowCopySet set;

  bool created = false;
  std::thread backup([&] { created = set.create({volume}); });
  const bool appeared = kvn_test::waitFor(
      [&] { return QFileInfo::exists(QString::fromStdString(ready)); }, std::chrono::minutes(1));
  if (appeared) {
    const std::string line = readFile(ready);
    EXPECT_EQ(line.substr(0, line.find('\t')), native(volume));
    writeFile(live.file("a.txt"), "changed while held");
    std::filesystem::remove(ready);
  }
  backup.join();
  ASSERT_TRUE(appeared);
  ASSERT_TRUE(created);
  const std::string root = native(set.snapshotPath(volume));
  EXPECT_EQ(readFile(root + "/a.txt"), "one");
}

TEST(CopySnapshotDefaultsTest, FreshTemporaryFolderGoesWithTheSet) {
  kvn_test::ScopedVssLibrary library(KVN_VSS_TEST_LIBRARY);
  ASSERT_TRUE(library.loaded());
  kvn_test::TempDir live;
  kvn_test::writeFile(live.file("f"), "x");
  const QString volume = QString::fromStdString(live.path());
  QString root;
  {
    kvn_vss::ShadowCopySet set;
    ASSERT_TRUE(set.create({volume, volume}));
    root = set.snapshotPath(volume);
    EXPECT_TRUE(root.startsWith(QDir::tempPath() + "/kvn_vss_test-")) << root.toStdString();
    EXPECT_EQ(readFile(native(root) + "/f"), "x");
  }
  // Destroyed without release: the base folder made for it is gone as well.
  EXPECT_FALSE(QFileInfo::exists(root));
  EXPECT_FALSE(QFileInfo::exists(QFileInfo(QFileInfo(root).path()).path()));
}

}  // namespace
