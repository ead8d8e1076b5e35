// The production library's device-level call on an LVM logical volume: a
// snapshot is made, the image is read from it while the live volume
// changes, and it goes with the set. Runs on a loop-device physical volume;
// skipped with the reason where loop devices or device-mapper are refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QUuid>
#include <cerrno>
#include <cstring>

#include "ext_image.h"
#include "kvn_snapshot/volume_traversal.h"
#include "temp_dir.h"
#include "vss_test_support.h"

namespace {

using kvn_sysimg_test::runTool;

constexpr int kVolumeMiB = 8;

QString lvm(const QStringList& arguments, bool* ok) { return runTool("lvm", arguments, ok); }

// A volume group on a loop device, removed and detached in every case.
class LoopVolumeGroup {
 public:
  // Empty when the volume group and its volume "vol" exist, else why not.
  QString make(const std::string& backing, int volumeMiB, int groupMiB) {
    QFile file(QString::fromStdString(backing));
    if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(groupMiB) << 20)) {
      return "cannot make the backing file";
    }
    file.close();
    bool ok = false;
    const QString loop = runTool("losetup", {"-f", "--show", file.fileName()}, &ok).trimmed();
    if (!ok) return "loop devices are refused: " + loop;
    loop_ = loop;
    const QString pv = lvm({"pvcreate", "-y", loop_}, &ok);
    if (!ok) return "no LVM physical volume on a loop device: " + pv;
    pv_ = true;
    name_ = "zlvtest" + QUuid::createUuid().toString(QUuid::Id128).left(8);
    const QString vg = lvm({"vgcreate", name_, loop_}, &ok);
    if (!ok) return "no volume group: " + vg;
    vg_ = true;
    const QString lv =
        lvm({"lvcreate", "-y", "-n", "vol", "-L", QString("%1M").arg(volumeMiB), name_}, &ok);
    if (!ok) return "device-mapper refused: " + lv;
    return {};
  }
  ~LoopVolumeGroup() {
    bool ok = false;
    if (vg_) lvm({"vgremove", "-f", name_}, &ok);
    if (pv_) lvm({"pvremove", "-y", loop_}, &ok);
    if (!loop_.isEmpty()) {
      runTool("partx", {"-d", loop_}, &ok);
      runTool("losetup", {"-d", loop_}, &ok);
    }
  }

  QString volume() const { return "/dev/" + name_ + "/vol"; }
  QString group() const { return name_; }
  // The names of the group's logical volumes.
  QStringList volumes() const {
    bool ok = false;
    return lvm({"lvs", "--noheadings", "-o", "lv_name", name_}, &ok)
        .split('\n', Qt::SkipEmptyParts)
        .replaceInStrings(" ", "");
  }

 private:
  QString loop_;
  QString name_;
  bool pv_ = false;
  bool vg_ = false;
};

QByteArray pattern(char fill) { return QByteArray(kVolumeMiB << 20, fill); }

bool writeDevice(const QString& device, const QByteArray& bytes) {
  QFile file(device);
  return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
         file.write(bytes) == bytes.size() && ::fsync(file.handle()) == 0;
}

class LvmSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.loaded());
    bool ok = false;
    runTool("lvm", {"version"}, &ok);
    if (!ok) GTEST_SKIP() << "lvm is not installed";
    // Where the kernel has no device-mapper, every lvcreate fails after
    // seconds of set-up, with a page of lvm's complaints.
    const int control = ::open("/dev/mapper/control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
      GTEST_SKIP() << "device-mapper is not available: /dev/mapper/control: "
                   << std::strerror(errno);
    }
    ::close(control);
  }
  void makeGroup(int groupMiB) {
    const QString refused = group_.make(dir_.file("pv.img"), kVolumeMiB, groupMiB);
    if (!refused.isEmpty()) GTEST_SKIP() << refused.toStdString();
  }

  kvn_test::ScopedVssLibrary library_{KVN_VSS_LINUX_LIBRARY};
  kvn_test::TempDir dir_;
  LoopVolumeGroup group_;
};

TEST_F(LvmSnapshotTest, LogicalVolumeIsImagedFromItsSnapshotWhileTheLiveOneChanges) {
  makeGroup(96);
  if (IsSkipped()) return;
  ASSERT_TRUE(writeDevice(group_.volume(), pattern('a')));
  kvn_vss::ShadowCopySet set;
  ASSERT_TRUE(set.create({group_.volume()}));
  const QString snapshot = set.snapshotPath(group_.volume());
  ASSERT_TRUE(snapshot.startsWith("/dev/" + group_.group() + "/zelvo-")) << snapshot.toStdString();
  ASSERT_TRUE(writeDevice(group_.volume(), pattern('b')));

  QCryptographicHash read(QCryptographicHash::Md5);
  kvn_snapshot::TraversalStats stats;
  ASSERT_TRUE(kvn_snapshot::foreachBlockInVolume(
      snapshot,
      [&](std::uint64_t, const std::uint8_t* data, std::uint64_t length,
          const kvn_formats::volume_image::GenericBitmap&) {
        read.addData(QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(length)));
      },
      false, &stats));
  EXPECT_EQ(stats.bytesRead, std::uint64_t(kVolumeMiB) << 20);
  EXPECT_EQ(read.result(), QCryptographicHash::hash(pattern('a'), QCryptographicHash::Md5));

  set.release();
  EXPECT_EQ(group_.volumes(), QStringList{"vol"});
}

TEST_F(LvmSnapshotTest, GroupWithoutRoomGivesTheLiveDevice) {
  // The volume takes the whole group: no room for a snapshot.
  makeGroup(kVolumeMiB + 4);
  if (IsSkipped()) return;
  kvn_vss::ShadowCopySet set;
  ASSERT_TRUE(set.create({group_.volume()}));
  EXPECT_EQ(set.snapshotPath(group_.volume()), group_.volume());
  set.release();
  EXPECT_EQ(group_.volumes(), QStringList{"vol"});
}

}  // namespace
