// The production library on a real btrfs file system, made in an image file
// and mounted on a loop device inside a private mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <filesystem>

#include "../file_finder/mount_namespace.h"
#include "../kvn_log/log_capture.h"
#include "core_app_environment.h"
#include "vss_test_support.h"

namespace {

using kvn_test::native;
using kvn_test::occurrences;
using kvn_test::readFile;
using kvn_test::writeFile;

constexpr qint64 kImageSize = 128 * 1024 * 1024;  // about the smallest btrfs allows

class BtrfsSnapshotTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);  // frees the loop device too
  }

  // A fresh, empty btrfs file system on mount_, or why there cannot be one.
  std::string mountBtrfs() {
    if (::geteuid() != 0) return "needs root to mount a loop device";
    if (::access("/dev/loop-control", F_OK) != 0) return "no loop devices";
    QString mkfs = QStandardPaths::findExecutable("mkfs.btrfs");
    if (mkfs.isEmpty()) mkfs = QStandardPaths::findExecutable("mkfs.btrfs", {"/usr/sbin", "/sbin"});
    if (mkfs.isEmpty()) return "mkfs.btrfs missing (package btrfs-progs)";

    const QString image = QString::fromStdString(dir_.file("fs.img"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(kImageSize))
      return "cannot make the image";
    file.close();
    const auto made = kvn_test::ProcessRunner(mkfs).run({"-q", "-f", image});
    if (made.exitCode != 0) return "mkfs.btrfs failed: " + made.standardError.toStdString();
    std::filesystem::create_directory(mount_);
    const auto mount = kvn_test::ProcessRunner("mount").run(
        {"-t", "btrfs", "-o", "loop", image, QString::fromStdString(mount_)});
    if (mount.exitCode != 0) return "mount refused: " + mount.standardError.toStdString();
    mounted_ = true;
    return {};
  }

  QString volume() const { return QString::fromStdString(mount_); }

  kvn_test::TempDir dir_;
  std::string mount_ = dir_.file("mnt");
  bool mounted_ = false;
};

#define KVN_MOUNT_BTRFS_OR_SKIP()                             \
  do {                                                        \
    KVN_IN_MOUNT_NAMESPACE();                                 \
    if (const std::string why = mountBtrfs(); !why.empty()) { \
      GTEST_SKIP() << why;                                    \
    }                                                         \
  } while (0)

TEST_F(BtrfsSnapshotTest, SnapshotIsReadOnlyFrozenAndShowsOnlyTheVolume) {
  KVN_MOUNT_BTRFS_OR_SKIP();
  kvn_test::ScopedVssLibrary library(KVN_VSS_LINUX_LIBRARY);
  ASSERT_TRUE(library.loaded());
  writeFile(mount_ + "/f.txt", "before");
  std::filesystem::create_directory(mount_ + "/d");
  writeFile(mount_ + "/d/g.txt", "kept");
  kvn_test::LogCapture capture;

  kvn_vss::ShadowCopySet first;
  ASSERT_TRUE(first.create({volume()}));
  const std::string root = native(first.snapshotPath(volume()));
  EXPECT_EQ(root.rfind(mount_ + "/.zelvo-snapshots/", 0), 0u) << root;
  writeFile(mount_ + "/f.txt", "after");
  EXPECT_EQ(readFile(root + "/f.txt"), "before");
  EXPECT_EQ(readFile(root + "/d/g.txt"), "kept");
  EXPECT_EQ(::open((root + "/new.txt").c_str(), O_WRONLY | O_CREAT, 0600), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_FALSE(std::filesystem::exists(root + "/.zelvo-snapshots"));

  // A second set beside the first does not see the first's snapshot either.
  kvn_vss::ShadowCopySet second;
  ASSERT_TRUE(second.create({volume()}));
  const std::string secondRoot = native(second.snapshotPath(volume()));
  EXPECT_NE(secondRoot, root);
  EXPECT_EQ(readFile(secondRoot + "/f.txt"), "after");
  EXPECT_FALSE(std::filesystem::exists(secondRoot + "/.zelvo-snapshots"));
  EXPECT_EQ(occurrences(capture.text(), "no point-in-time copy"), 0u) << capture.text();

  first.release();
  EXPECT_FALSE(std::filesystem::exists(root));
  EXPECT_TRUE(std::filesystem::exists(mount_ + "/.zelvo-snapshots"));
  second.release();
  EXPECT_FALSE(std::filesystem::exists(mount_ + "/.zelvo-snapshots"));
  EXPECT_EQ(occurrences(capture.text(), "EE "), 0u) << capture.text();
}

// A snapshot would show a nested subvolume as an empty folder and the
// backup would lose its files: such a volume is read live. The nested
// subvolume, given as a volume of its own, is snapshot.
TEST_F(BtrfsSnapshotTest, VolumeHoldingANestedSubvolumeIsReadLive) {
  KVN_MOUNT_BTRFS_OR_SKIP();
  kvn_test::ScopedVssLibrary library(KVN_VSS_LINUX_LIBRARY);
  ASSERT_TRUE(library.loaded());
  const QString nested = volume() + "/nested";
  const auto made = kvn_test::ProcessRunner("btrfs").run({"subvolume", "create", nested});
  ASSERT_EQ(made.exitCode, 0) << made.standardError.toStdString();
  writeFile(native(nested) + "/x.txt", "inside");
  std::filesystem::create_directory(mount_ + "/plain");
  kvn_test::LogCapture capture;

  kvn_vss::ShadowCopySet set;
  ASSERT_TRUE(set.create({volume(), volume() + "/plain", nested}));
  EXPECT_EQ(set.snapshotPath(volume()), volume());
  EXPECT_EQ(set.snapshotPath(volume() + "/plain"), volume() + "/plain");
  const std::string nestedRoot = native(set.snapshotPath(nested));
  EXPECT_EQ(nestedRoot.rfind(native(nested) + "/.zelvo-snapshots/", 0), 0u) << nestedRoot;
  EXPECT_EQ(readFile(nestedRoot + "/x.txt"), "inside");

  const std::string log = capture.text();
  EXPECT_EQ(occurrences(log, "no point-in-time copy for "), 2u) << log;
  EXPECT_EQ(occurrences(log, "no point-in-time copy for " + mount_ +
                                 " (file system btrfs): files are read live"),
            1u)
      << log;
  EXPECT_EQ(occurrences(log, "nested subvolumes"), 1u) << log;
  set.release();
  EXPECT_FALSE(std::filesystem::exists(native(nested) + "/.zelvo-snapshots"));
}

}  // namespace
