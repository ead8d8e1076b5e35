// The volume list, extents, meta data and traversal on real block devices:
// the test disks attached as loop devices with their partitions.
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonObject>

#include "disk_images.h"
#include "disk_scripts.h"
#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_formats/volume_image/hashmap_writer.h"
#include "kvn_snapshot/disk_metadata.h"
#include "kvn_snapshot/disks.h"
#include "kvn_snapshot/hardware_info.h"
#include "kvn_snapshot/volume_list.h"
#include "kvn_snapshot/volume_traversal.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace {

using namespace kvn_snapshot;
using kvn_formats::volume_image::GenericBitmap;

QString blkidValue(const QString& tag, const QString& device) {
  return kvn_test::runTool("blkid", {"-p", "-s", tag, "-o", "value", device}).output.toLower();
}

const VolumeRecord* findVolume(const std::vector<VolumeRecord>& volumes, const QString& device) {
  for (const VolumeRecord& v : volumes) {
    if (v.devicePath == device) return &v;
  }
  return nullptr;
}

class LoopDisk : public ::testing::Test {
 protected:
  // Attaches a new disk made by script; skips the test where loop devices
  // are refused.
  void attach(const QString& script) {
    image_ = dir_.file("disk.img");
    ASSERT_TRUE(kvn_test::makeDisk(image_, kvn_test::kTestDiskSize, script));
    QString why;
    if (!loop_.attach(image_, &why))
      GTEST_SKIP() << "loop devices refused here: " << why.toStdString();
    ASSERT_TRUE(findDiskByName(loop_.name(), &disk_));
  }

  void fill(int partition, const QString& label) {
    const std::string tree = dir_.file("tree" + std::to_string(partition));
    QDir().mkpath(QString::fromStdString(tree));
    kvn_test::makeTree(tree, 3, 200000, static_cast<unsigned>(partition));
    ASSERT_TRUE(kvn_test::makeExt4(loop_.partition(partition).toStdString(), 0, tree));
    ASSERT_TRUE(kvn_test::runTool("e2label", {loop_.partition(partition), label}).ok());
  }

  kvn_test::TempDir dir_;
  std::string image_;
  kvn_test::LoopDevice loop_;
  DiskInfo disk_;
};

TEST_F(LoopDisk, GptDiskWithEfiPartition) {
  attach(kvn_test::kGptScript);
  if (IsSkipped()) return;
  fill(2, "sysvol");
  EXPECT_EQ(disk_.size, kvn_test::kTestDiskSize);
  EXPECT_FALSE(disk_.removable);

  const auto volumes = listVolumes();
  const VolumeRecord* data = findVolume(volumes, loop_.partition(2));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->volumeGuid, blkidValue("UUID", loop_.partition(2)));
  EXPECT_EQ(data->fsName, "ext4");
  EXPECT_EQ(data->label, "sysvol");
  EXPECT_EQ(data->diskNumber, disk_.number);
  EXPECT_EQ(data->diskSerial, kvn_test::kGptDiskGuid);
  EXPECT_EQ(data->diskSize, kvn_test::kTestDiskSize);
  EXPECT_TRUE(data->mountName.isEmpty());
  EXPECT_FALSE(data->isCritical);
  EXPECT_FALSE(data->isBoot);
  EXPECT_TRUE(data->rawPath.isEmpty());
  EXPECT_EQ(data->totalSize, 40960u * 512);
  EXPECT_GT(data->freeSize, 0u);
  EXPECT_LT(data->freeSize, data->totalSize);

  const VolumeRecord* efi = findVolume(volumes, loop_.partition(1));
  ASSERT_NE(efi, nullptr);
  EXPECT_EQ(efi->volumeGuid, blkidValue("PART_ENTRY_UUID", loop_.partition(1)));
  EXPECT_EQ(efi->mountName, "(EFI)");
  EXPECT_EQ(efi->fsName, "EFI");
  EXPECT_TRUE(efi->isCritical);
  EXPECT_TRUE(efi->isBoot);
  EXPECT_EQ(efi->rawPath, loop_.partition(1));
  EXPECT_EQ(efi->totalSize, 8192u * 512);
  EXPECT_EQ(efi->freeSize, 0u);
  EXPECT_EQ(findVolume(volumes, loop_.path()), nullptr);  // the disk itself holds no file system

  VolumeExtent extent;
  ASSERT_TRUE(getVolumeExtents(loop_.partition(2), &extent));
  EXPECT_EQ(extent.diskNumber, disk_.number);
  EXPECT_EQ(extent.diskPath, loop_.path());
  EXPECT_EQ(extent.startingOffset, 10240u * 512);
  EXPECT_EQ(extent.extentLength, 40960u * 512);
  std::uint64_t size = 0;
  ASSERT_TRUE(getVolumeSize(loop_.partition(2), &size));
  EXPECT_EQ(size, 40960u * 512);

  // The meta data of the disk, found by its number.
  const QString sig = QString::fromStdString(dir_.file("p2.sig"));
  {
    kvn_formats::volume_image::HashmapWriter writer(
        sig, 0, size, 0x200000, 4096, extent.startingOffset, extent.extentLength, "ext4");
    ASSERT_TRUE(dumpDiskMetadata(extent.diskNumber, writer));
  }
  EXPECT_EQ(kvn_formats::volume_image::HashmapReader(sig).metaData().size(), 24 + 17408 + 33 * 512);

  // The used blocks of the partition, and only those, are read.
  TraversalStats stats;
  ASSERT_TRUE(foreachBlockInVolume(
      loop_.partition(2),
      [](std::uint64_t, const std::uint8_t*, std::uint64_t, const GenericBitmap&) {}, true,
      &stats));
  EXPECT_EQ(stats.volumeSize, size);
  EXPECT_GT(stats.blocksSkipped, 0u);
  EXPECT_EQ(stats.bytesRead, stats.blocksRead * kVolumeBlockSize);

  const QJsonObject drive = hardwareInfo()["drives"]
                                .toObject()[QStringLiteral("PhysicalDrive%1").arg(disk_.number)]
                                .toObject();
  EXPECT_EQ(drive["serial"].toString(), kvn_test::kGptDiskGuid);
  EXPECT_TRUE(drive["bootable"].toBool());
  EXPECT_FALSE(drive.contains("bus"));  // a loop device has none of the named buses
  EXPECT_FALSE(drive.contains("removable"));
}

TEST_F(LoopDisk, MbrDiskWithLogicalPartitionsAndAnUnmountedBootPartition) {
  attach(kvn_test::kMbrScript);
  if (IsSkipped()) return;
  fill(1, "boot");
  fill(6, "data");

  const auto volumes = listVolumes();
  const VolumeRecord* boot = findVolume(volumes, loop_.partition(1));
  ASSERT_NE(boot, nullptr);
  EXPECT_EQ(boot->mountName, "(Boot)");
  EXPECT_TRUE(boot->isBoot);
  EXPECT_TRUE(boot->isCritical);
  EXPECT_EQ(boot->diskSerial, "78563412");
  const VolumeRecord* logical = findVolume(volumes, loop_.partition(6));
  ASSERT_NE(logical, nullptr);
  EXPECT_EQ(logical->label, "data");
  EXPECT_TRUE(logical->mountName.isEmpty());
  EXPECT_FALSE(logical->isBoot);
  EXPECT_EQ(findVolume(volumes, loop_.partition(5)), nullptr);  // no file system on it

  VolumeExtent extent;
  ASSERT_TRUE(getVolumeExtents(loop_.partition(6), &extent));
  EXPECT_EQ(extent.startingOffset, 22528u * 512);
  EXPECT_EQ(extent.extentLength, 8192u * 512);

  DiskMetadataDump dump;
  ASSERT_TRUE(readDiskMetadata(extent.diskPath, &dump));
  EXPECT_EQ(dump.bytes.size(), 512 + 2 * (8 + 512));
}

}  // namespace
