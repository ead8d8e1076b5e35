// The machine's disks as the system image sees them: every block device of
// /sys/block that has a size, numbered in name order. Disk number N is
// "PhysicalDrive<N>" in the hardware description.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "kvn_snapshot/partition_table.h"

namespace kvn_snapshot {

struct DiskInfo {
  std::int32_t number = -1;
  QString name;        // "sda", "nvme0n1", "loop3"
  QString devicePath;  // "/dev/sda"
  QString sysfsPath;   // canonical sysfs folder
  std::uint64_t size = 0;
  bool removable = false;
  QString model;   // empty when the device has none
  QString serial;  // the device's own serial number, empty when unknown
  // "usb", "sata", "scsi", "sas", "mmc" or "sd"; empty for other buses
  // (NVMe, virtio, loop).
  QString bus;
};

std::vector<DiskInfo> listDisks();
// The disk with that number or name; false when there is none.
bool findDisk(std::int32_t number, DiskInfo* disk);
bool findDiskByName(const QString& name, DiskInfo* disk);

// The serial text of a disk: the GPT disk GUID without braces, else the
// MBR signature bytes as stored as 8 lower-case hexadecimal digits, else the
// device's own serial.
QString diskSerialText(const PartitionTable& table, const QString& deviceSerial);

}  // namespace kvn_snapshot
