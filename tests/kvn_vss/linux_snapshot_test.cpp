// The production library on a file system without snapshots: the volume is
// read live, with one warning, and that is no failure; so is a device that
// cannot be a logical volume.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <cstdlib>

#include "../kvn_log/log_capture.h"
#include "vss_test_support.h"

namespace {

using kvn_test::native;
using kvn_test::occurrences;

class LinuxSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.loaded());
    if (QStorageInfo(QString::fromStdString(live_.path())).fileSystemType() == "btrfs") {
      GTEST_SKIP() << "the temporary folder is on btrfs";
    }
  }

  kvn_test::ScopedVssLibrary library_{KVN_VSS_LINUX_LIBRARY};
  kvn_test::TempDir live_;
};

TEST_F(LinuxSnapshotTest, VolumeWithoutSnapshotsIsReadLive) {
  const QString volume = QString::fromStdString(live_.path());
  kvn_test::LogCapture capture;
  kvn_vss::ShadowCopySet set;
  ASSERT_TRUE(set.create({volume + "/"}));
  EXPECT_EQ(set.snapshotPath(volume + "/"), volume);
  EXPECT_TRUE(set.snapshotPath(volume).isEmpty());  // only the text given
  set.release();

  const std::string log = capture.text();
  const std::string type = QStorageInfo(volume).fileSystemType().toStdString();
  EXPECT_EQ(occurrences(log, "ww "), 1u) << log;
  EXPECT_EQ(occurrences(log, "no point-in-time copy for " + native(volume) + "/ (file system " +
                                 type + "): files are read live"),
            1u)
      << log;
  EXPECT_EQ(occurrences(log, "EE "), 0u) << log;
  // Nothing was made inside the live volume.
  EXPECT_FALSE(QFileInfo::exists(volume + "/.zelvo-snapshots"));
}

TEST_F(LinuxSnapshotTest, MissingVolumeFailsAloneAndDeleteIsHarmless) {
  const QString volume = QString::fromStdString(live_.path());
  const QString missing = volume + "/absent";
  kvn_test::LogCapture capture;
  kvn_vss::ShadowCopySet set;
  EXPECT_FALSE(set.create({missing, "relative/path", volume}));
  EXPECT_TRUE(set.snapshotPath(missing).isEmpty());
  EXPECT_TRUE(set.snapshotPath("relative/path").isEmpty());
  EXPECT_EQ(set.snapshotPath(volume), volume);
  EXPECT_EQ(occurrences(capture.text(), "CreateShadowVolume: AddToSnapshotSet fails"), 2u);
}

}  // namespace

// An image file or any device that is no device-mapper node cannot be a
// logical volume: it is read live with the one warning, and lvm (a stand-in
// on PATH here that leaves a mark when it runs) is not started for it.
TEST_F(LinuxSnapshotTest, DeviceThatIsNoLogicalVolumeIsReadLiveWithoutAskingLvm) {
  const std::string bin = live_.file("bin");
  const std::string ran = live_.file("lvm-ran");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(bin)));
  {
    QFile lvm(QString::fromStdString(bin + "/lvm"));
    ASSERT_TRUE(lvm.open(QIODevice::WriteOnly));
    lvm.write(QByteArray("#!/bin/sh\ntouch '") + ran.c_str() + "'\nexit 5\n");
    lvm.close();
    lvm.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  const kvn_test::ScopedEnv path("PATH", bin + ":" + std::getenv("PATH"));
  const QString image = QString::fromStdString(live_.file("disk.img"));
  {
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(1 << 20));
  }

  kvn_test::LogCapture capture;
  kvn_vss::ShadowCopySet set;
  ASSERT_TRUE(set.create({image}));
  EXPECT_EQ(set.snapshotPath(image), image);
  set.release();

  const std::string log = capture.text();
  EXPECT_EQ(occurrences(log, "ww "), 1u) << log;
  EXPECT_EQ(occurrences(log, "no point-in-time copy exists for " + image.toStdString() +
                                 ": the live device is read"),
            1u)
      << log;
  EXPECT_EQ(occurrences(log, "EE "), 0u) << log;
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(ran)));
}
