#include "kvn_snapshot/disks.h"

#include <QDir>
#include <QFileInfo>

#include "sysfs.h"

namespace kvn_snapshot {

namespace {

QString busOf(const QString& sysfsPath) {
  if (sysfsPath.contains("/usb")) return "usb";
  if (sysfsPath.contains("/mmc")) {
    // SD cards and eMMC share the host driver; the card says which it is.
    const QString type = sysfs::text(sysfsPath, "device/type");
    return type == "SD" ? "sd" : "mmc";
  }
  if (sysfsPath.contains("/ata")) return "sata";
  if (sysfsPath.contains("/end_device-") || sysfsPath.contains("/sas_")) return "sas";
  if (sysfsPath.contains("/host") && sysfsPath.contains("/target")) return "scsi";
  return {};
}

DiskInfo describe(const QString& name) {
  DiskInfo disk;
  disk.name = name;
  disk.devicePath = "/dev/" + name;
  disk.sysfsPath = QFileInfo(QString(sysfs::kBlock) + '/' + name).canonicalFilePath();
  std::uint64_t sectors = 0;
  sysfs::number(disk.sysfsPath, "size", &sectors);
  disk.size = sectors * 512;  // sysfs counts 512-byte units whatever the sector size
  disk.removable = sysfs::text(disk.sysfsPath, "removable") == "1";
  disk.model = sysfs::text(disk.sysfsPath, "device/model");
  disk.serial = sysfs::text(disk.sysfsPath, "device/serial");
  if (disk.serial.isEmpty()) disk.serial = sysfs::text(disk.sysfsPath, "serial");
  disk.bus = busOf(disk.sysfsPath);
  return disk;
}

}  // namespace

std::vector<DiskInfo> listDisks() {
  QStringList names = QDir(sysfs::kBlock).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
  names.sort();
  std::vector<DiskInfo> disks;
  for (const QString& name : names) {
    DiskInfo disk = describe(name);
    if (disk.size == 0) continue;  // no medium, or a loop device with nothing attached
    disk.number = static_cast<std::int32_t>(disks.size());
    disks.push_back(disk);
  }
  return disks;
}

bool findDisk(std::int32_t number, DiskInfo* disk) {
  for (const DiskInfo& d : listDisks()) {
    if (d.number == number) {
      *disk = d;
      return true;
    }
  }
  return false;
}

bool findDiskByName(const QString& name, DiskInfo* disk) {
  for (const DiskInfo& d : listDisks()) {
    if (d.name == name) {
      *disk = d;
      return true;
    }
  }
  return false;
}

QString diskSerialText(const PartitionTable& table, const QString& deviceSerial) {
  if (table.style == PartitionTable::Style::Gpt) return guidText(table.gptDiskGuid);
  if (table.style == PartitionTable::Style::Mbr) {
    const QByteArray bytes(reinterpret_cast<const char*>(table.mbrSignatureBytes.data()), 4);
    return QString::fromLatin1(bytes.toHex());
  }
  return deviceSerial;
}

}  // namespace kvn_snapshot
