// The machine's volumes: every local, fixed block device that holds a file
// system (a partition, a whole-disk file system, an LVM volume), and every
// EFI system partition. Built anew on each call from sysfs,
// /proc/self/mountinfo and the devices themselves (libblkid).
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace kvn_snapshot {

struct VolumeRecord {
  std::int32_t diskNumber = -1;  // as listDisks() counts; -1 when unknown
  QString diskName;              // the disk's model
  QString diskSerial;            // diskSerialText() of the disk
  std::uint64_t diskSize = 0;
  // The volume's identity: the file-system UUID; for an EFI system
  // partition its PARTUUID.
  QString volumeGuid;
  // The mount path ("/", "/boot", "/home"), "(Boot)" for an unmounted boot
  // partition, "(EFI)" for an EFI system partition, else empty.
  QString mountName;
  bool isCritical = false;  // "/", "/boot" and EFI
  bool isBoot = false;      // "/boot", an unmounted boot partition and EFI: read whole
  QString label;
  QString fsName;  // "ext4", "xfs", ...; "EFI" for an EFI system partition
  std::uint64_t totalSize = 0;
  std::uint64_t freeSize = 0;
  // EFI: the partition's device node, read directly (no snapshot).
  QString rawPath;
  // The volume's device node ("/dev/sda2"), where it is read from.
  QString devicePath;
};

std::vector<VolumeRecord> listVolumes();

}  // namespace kvn_snapshot
