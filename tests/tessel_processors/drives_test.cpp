// Which mounted file systems are offered as drives: those on local block
// devices, once each, never pseudo file systems, shares, optical media or
// package images, and removable ones only on request.
#include <gtest/gtest.h>

#include <sstream>

#include "kvn_platform/drives.h"

namespace {

using kvn_platform::MountEntry;
using Paths = std::vector<std::string>;

// A workstation's table: pseudo file systems, a system disk with an EFI
// partition, a USB stick, a DVD, a package image, a share, a bind mount, a
// folder covered by a later mount, and a name with a blank.
constexpr const char* kTable =
    "21 26 0:20 / /proc rw,relatime shared:12 - proc proc rw\n"
    "22 26 0:21 / /sys rw,relatime shared:2 - sysfs sysfs rw\n"
    "23 26 0:6 / /dev rw,relatime shared:3 - devtmpfs udev rw,size=1k,mode=755\n"
    "24 23 0:22 / /dev/shm rw,relatime - tmpfs tmpfs rw\n"
    "26 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
    "27 26 8:1 / /boot/efi rw,relatime shared:5 - vfat /dev/sda1 rw,fmask=0077\n"
    "30 22 0:27 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n"
    "31 26 0:28 / /run rw,nosuid shared:6 - tmpfs tmpfs rw,mode=755\n"
    "40 26 8:17 / /media/usb rw,relatime - vfat /dev/sdb1 rw\n"
    "41 26 11:0 / /media/cdrom ro,relatime - iso9660 /dev/sr0 ro\n"
    "42 26 7:0 / /snap/core/1 ro,relatime - squashfs /dev/loop0 ro\n"
    "43 26 0:50 / /mnt/nfs rw,relatime - nfs4 server:/export rw,vers=4.2\n"
    "44 26 8:2 /srv/data /data rw,relatime - ext4 /dev/sda2 rw\n"
    "45 26 8:33 / /mnt/x rw,relatime - ext4 /dev/sdc1 rw\n"
    "46 45 0:51 / /mnt/x rw,relatime - tmpfs tmpfs rw\n"
    "47 26 8:49 / /media/my\\040disk rw,relatime - ext4 /dev/sdd1 rw\n"
    "48 26 0:52 / /var/lib/docker/overlay2/x/merged rw - overlay overlay rw\n"
    "garbage line\n";

std::vector<MountEntry> table(const std::string& text) {
  std::istringstream in(text);
  return kvn_platform::parseMountTable(in);
}

bool usbIsRemovable(const MountEntry& mount) { return mount.source == "/dev/sdb1"; }

TEST(DrivesTest, OnlyLocalBlockDeviceFileSystemsAreDrives) {
  const auto mounts = table(kTable);
  ASSERT_EQ(mounts.size(), 17u);  // the garbage line is skipped
  EXPECT_EQ(mounts[4].fsType, "ext4");
  EXPECT_EQ(mounts[4].source, "/dev/sda2");
  EXPECT_EQ(mounts[15].mountPoint, "/media/my disk");

  EXPECT_EQ(kvn_platform::selectDrives(mounts, false, usbIsRemovable),
            (Paths{"/", "/boot/efi", "/media/my disk"}));
  // Removable drives on request, but never the DVD.
  EXPECT_EQ(kvn_platform::selectDrives(mounts, true, usbIsRemovable),
            (Paths{"/", "/boot/efi", "/media/usb", "/media/my disk"}));
}

TEST(DrivesTest, SubvolumesOfOneFileSystemAreDrivesButBindMountsAreNot) {
  // btrfs reports one anonymous device for every subvolume mount.
  const auto mounts = table(
      "26 1 0:30 /@ / rw - btrfs /dev/sda3 rw,subvol=/@\n"
      "27 26 0:30 /@home /home rw - btrfs /dev/sda3 rw,subvol=/@home\n"
      "28 26 0:30 /@home/ann /srv/ann rw - btrfs /dev/sda3 rw,subvol=/@home\n"
      "29 26 8:5 / /var rw - xfs /dev/mapper/vg-var rw\n"
      "30 26 8:5 / /var2 rw - xfs /dev/mapper/vg-var rw\n");
  EXPECT_EQ(kvn_platform::selectDrives(mounts, false, [](const MountEntry&) { return false; }),
            (Paths{"/", "/home", "/var"}));
}

TEST(DrivesTest, AContainerWithoutLocalDisksHasNoDrives) {
  const auto mounts = table(
      "600 500 0:60 / / rw - overlay overlay rw,lowerdir=/l\n"
      "601 600 0:61 / /proc rw - proc proc rw\n"
      "602 600 0:62 / /dev rw - tmpfs tmpfs rw\n");
  EXPECT_TRUE(kvn_platform::selectDrives(mounts, true, usbIsRemovable).empty());
}

TEST(DrivesTest, ThisMachinesDrivesAreFolders) {
  std::vector<std::string> drives;
  int error = 0;
  ASSERT_TRUE(kvn_platform::listDrives(true, drives, &error)) << error;
  for (const auto& drive : drives) EXPECT_EQ(drive.front(), '/') << drive;
}

}  // namespace
