// What the test library gives a system image: a frozen copy of an image
// file, and the restored-system mark (no swap files, the agent's settings
// marked) in the copy of a mounted folder and inside the copy of an ext4
// image, while the live files stay.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <filesystem>

#include "ext_image.h"
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

class ExtImageMarkTest : public DeviceSnapshotTest {
 protected:
  // An ext4 image of the tree, its frozen copy taken by the library.
  std::string copyOf(const std::string& tree) {
    image_ = QString::fromStdString(live_.file("volume.img"));
    const QString made = kvn_sysimg_test::makeExt4(image_, 16, QString::fromStdString(tree));
    EXPECT_TRUE(made.isEmpty()) << made.toStdString();
    EXPECT_TRUE(set_.create({image_}));
    return native(set_.snapshotPath(image_));
  }
  QByteArray inside(const std::string& image, const char* path) {
    return kvn_sysimg_test::dumpFile(QString::fromStdString(image), path,
                                     QString::fromStdString(live_.file("dumped")));
  }
  static QString listing(const std::string& image) {
    bool ok = false;
    return kvn_sysimg_test::runTool("debugfs", {"-R", "ls -l /", QString::fromStdString(image)},
                                    &ok);
  }

  kvn_test::TempDir live_;
  kvn_test::ScopedEnv appData_{"ZLV_COMMON_APPDATA", "/srv/data"};
  QString image_;
  kvn_vss::ShadowCopySet set_;
};

TEST_F(ExtImageMarkTest, CopyLosesItsSwapFilesAndGetsTheMarkAndStaysConsistent) {
  kvn_test::TempDir tree;
  // Swap files of several blocks: their blocks must be freed, or e2fsck
  // finds the free counts wrong.
  writeFile(tree.file("swapfile"), std::string(3 << 20, 's'));
  writeFile(tree.file("swap.img"), std::string(100000, 'w'));
  writeFile(tree.file("kept.txt"), "kept");
  std::filesystem::create_directories(tree.file("srv/data/Zelvo"));
  writeFile(tree.file("srv/data/Zelvo/zlv.ini"), "a=1\nreset_agent=false\nb=2");
  const std::string copy = copyOf(tree.path());
  ASSERT_FALSE(copy.empty());

  const QString names = listing(copy);
  EXPECT_FALSE(names.contains("swapfile")) << names.toStdString();
  EXPECT_FALSE(names.contains("swap.img")) << names.toStdString();
  EXPECT_EQ(inside(copy, "/kept.txt"), "kept");
  EXPECT_EQ(inside(copy, "/srv/data/Zelvo/zlv.ini"),
            "a=1\nreset_agent=true\nb=2\nrestored_agent=true\n");
  const QString problems = kvn_sysimg_test::fsckProblems(QString::fromStdString(copy));
  EXPECT_TRUE(problems.isEmpty()) << problems.toStdString();

  // The live image is never touched.
  EXPECT_TRUE(listing(native(image_)).contains("swapfile"));
  EXPECT_EQ(inside(native(image_), "/srv/data/Zelvo/zlv.ini"), "a=1\nreset_agent=false\nb=2");
}

TEST_F(ExtImageMarkTest, CopyWithoutSettingsOrSwapIsOnlyCopied) {
  kvn_test::TempDir tree;
  writeFile(tree.file("kept.txt"), "kept");
  // A folder named like a swap file is not a swap file.
  std::filesystem::create_directories(tree.file("swapfile"));
  const std::string copy = copyOf(tree.path());
  ASSERT_FALSE(copy.empty());
  EXPECT_TRUE(listing(copy).contains("swapfile"));
  EXPECT_EQ(inside(copy, "/kept.txt"), "kept");
  const QString problems = kvn_sysimg_test::fsckProblems(QString::fromStdString(copy));
  EXPECT_TRUE(problems.isEmpty()) << problems.toStdString();
}

}  // namespace
