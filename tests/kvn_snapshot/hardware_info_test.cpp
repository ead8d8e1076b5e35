#include <gtest/gtest.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_formats/volume_image/hashmap_writer.h"
#include "kvn_snapshot/disks.h"
#include "kvn_snapshot/hardware_info.h"
#include "temp_dir.h"

namespace {

TEST(HardwareInfo, DescribesTheMachineAndItsDisks) {
  const QJsonObject info = kvn_snapshot::hardwareInfo();
  EXPECT_FALSE(info["arch"].toString().isEmpty());
  EXPECT_GE(info["cpus"].toInt(), 1);
  EXPECT_GT(info["ram"].toDouble(), 0.0);
  EXPECT_EQ(info["firmware"].toString(), QFileInfo::exists("/sys/firmware/efi") ? "uefi" : "bios");
  for (const QJsonValue& nic : info["network"].toArray()) {
    EXPECT_FALSE(nic.toObject()["mac"].toString().isEmpty());
    EXPECT_NE(nic.toObject()["name"].toString(), "lo");
  }
  const QJsonObject drives = info["drives"].toObject();
  for (const kvn_snapshot::DiskInfo& disk : kvn_snapshot::listDisks()) {
    const QString name = QStringLiteral("PhysicalDrive%1").arg(disk.number);
    if (!drives.contains(name)) continue;  // a disk this process may not read
    const QJsonObject drive = drives[name].toObject();
    EXPECT_EQ(drive.contains("removable"), disk.removable) << name.toStdString();
    if (drive.contains("bus")) {
      EXPECT_EQ(drive["bus"].toString(), disk.bus);
    }
  }
}

TEST(HardwareInfo, IsStoredAsIndentedJsonInTheHashmap) {
  kvn_test::TempDir dir;
  const QString sig = QString::fromStdString(dir.file("hw.sig"));
  {
    kvn_formats::volume_image::HashmapWriter writer(sig, 0, 4096, 4096, 4096, 0, 4096, "ext4");
    EXPECT_TRUE(kvn_snapshot::dumpHardwareInfo(writer));
  }
  const QByteArray stored = kvn_formats::volume_image::HashmapReader(sig).hardwareInfo();
  EXPECT_TRUE(stored.contains("\n    \"arch\""));
  EXPECT_TRUE(QJsonDocument::fromJson(stored).object().contains("drives"));
}

}  // namespace
