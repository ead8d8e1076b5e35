// What the test library gives a system image: a frozen copy of an image
// file, and in the copy of a mounted folder the restored-system mark (no
// swap files, the agent's settings marked) while the live files stay.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <filesystem>

#include "temp_dir.h"
#include "vss_test_support.h"

namespace {

using kvn_test::native;
using kvn_test::readFile;
using kvn_test::writeFile;

class DeviceSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library_.loaded()); }

  kvn_test::ScopedVssLibrary library_{KVN_VSS_TEST_LIBRARY};
  kvn_test::TempDir copies_;
  kvn_test::ScopedEnv copiesDir_{"KVN_TEST_SNAPSHOT_DIR", copies_.path()};
};

TEST_F(DeviceSnapshotTest, ImageFileIsCopiedWithHolesAndFrozen) {
  kvn_test::TempDir live;
  const std::string image = live.file("volume.img");
  std::string content(3 << 20, '\0');
  content.replace(1 << 20, 5, "hello");
  content.back() = 'z';
  writeFile(image, content);
  kvn_vss::ShadowCopySet set;
  ASSERT_TRUE(set.create({QString::fromStdString(image)}));
  const std::string copy = native(set.snapshotPath(QString::fromStdString(image)));
  ASSERT_FALSE(copy.empty());
  writeFile(image, "changed");
  EXPECT_EQ(readFile(copy), content);
  set.release();
  EXPECT_FALSE(std::filesystem::exists(copy));
}

TEST_F(DeviceSnapshotTest, FolderCopyLosesItsSwapFilesAndGetsTheRestoredMark) {
  kvn_test::TempDir live;
  writeFile(live.file("swapfile"), "swap");
  writeFile(live.file("swap.img"), "swap");
  writeFile(live.file("kept.txt"), "kept");
  std::filesystem::create_directories(live.file("appdata/Zelvo"));
  writeFile(live.file("appdata/Zelvo/zlv.ini"), "a=1\nreset_agent=false\n");
  kvn_test::ScopedEnv appData("ZLV_COMMON_APPDATA", live.file("appdata"));
  const QString volume = QString::fromStdString(live.path());
  kvn_vss::ShadowCopySet set;
  ASSERT_TRUE(set.create({volume}));
  const std::string root = native(set.snapshotPath(volume));
  ASSERT_FALSE(root.empty());
  EXPECT_FALSE(std::filesystem::exists(root + "/swapfile"));
  EXPECT_FALSE(std::filesystem::exists(root + "/swap.img"));
  EXPECT_EQ(readFile(root + "/kept.txt"), "kept");
  EXPECT_EQ(readFile(root + "/appdata/Zelvo/zlv.ini"),
            "a=1\nreset_agent=true\nrestored_agent=true\n");
  // The live system is never touched.
  EXPECT_EQ(readFile(live.file("swapfile")), "swap");
  EXPECT_EQ(readFile(live.file("appdata/Zelvo/zlv.ini")), "a=1\nreset_agent=false\n");
}

}  // namespace
