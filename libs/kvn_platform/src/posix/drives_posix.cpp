#include "kvn_platform/drives.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <array>
#include <fstream>

#include "posix/mount_paths.h"

namespace kvn_platform {

namespace {

// Types that sit on a block device without being a drive: optical media
// (never listed, even with removable drives) and read-only images of
// installed packages.
constexpr std::array kNotDriveTypes = {"iso9660", "udf", "squashfs"};

bool onLocalBlockDevice(const MountEntry& mount) {
  if (mount.source.rfind("/dev/", 0) != 0) return false;
  for (const char* type : kNotDriveTypes) {
    if (mount.fsType == type) return false;
  }
  return true;
}

// A later mount on the same folder covers this one.
bool hiddenByLaterMount(const std::vector<MountEntry>& mounts, std::size_t index) {
  for (std::size_t i = index + 1; i < mounts.size(); ++i) {
    if (mounts[i].mountPoint == mounts[index].mountPoint) return true;
  }
  return false;
}

// The device number of the disk behind a mount: the table's own, or for
// file systems that report an anonymous one (btrfs), the device node's.
dev_t deviceOf(const MountEntry& mount) {
  const auto major = unsigned(mount.device >> 32);
  const auto minor = unsigned(mount.device & 0xffffffffu);
  if (major != 0) return makedev(major, minor);
  struct stat st {};
  if (::stat(mount.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return st.st_rdev;
  return 0;
}

// A partition's flag is its disk's: the folder above the partition's.
bool removableInSysfs(const MountEntry& mount) {
  const dev_t device = deviceOf(mount);
  if (device == 0) return false;
  const std::string node =
      "/sys/dev/block/" + std::to_string(::major(device)) + ":" + std::to_string(::minor(device));
  std::ifstream partition(node + "/partition");
  std::ifstream flag(partition ? node + "/../removable" : node + "/removable");
  char value = '0';
  return flag >> value && value == '1';
}

}  // namespace

std::vector<std::string> selectDrives(const std::vector<MountEntry>& mounts, bool includeRemovable,
                                      const RemovableTest& isRemovable) {
  std::vector<std::string> drives;
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    const MountEntry& mount = mounts[i];
    if (!onLocalBlockDevice(mount) || hiddenByLaterMount(mounts, i)) continue;
    if (detail::mountTarget(mounts, i) != kVolumeTargetPrefix + mount.mountPoint) continue;
    if (!includeRemovable && isRemovable(mount)) continue;
    drives.push_back(mount.mountPoint);
  }
  return drives;
}

bool listDrives(bool includeRemovable, std::vector<std::string>& mountPoints, int* error) {
  std::vector<MountEntry> mounts;
  if (!readMountTable(mounts, error)) return false;
  mountPoints.clear();
  // Container runtimes bind single files (/etc/hosts) from the host's disk.
  for (auto& path : selectDrives(mounts, includeRemovable, removableInSysfs)) {
    if (isFolder(path)) mountPoints.push_back(std::move(path));
  }
  return true;
}

}  // namespace kvn_platform
