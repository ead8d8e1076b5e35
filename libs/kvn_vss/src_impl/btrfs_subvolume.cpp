#include "btrfs_subvolume.h"

#include <linux/btrfs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstring>

namespace kvn_vss::btrfs {

namespace {

constexpr ino_t kSubvolumeRootInode = 256;

bool fail(int* error) {
  if (error) *error = errno;
  return false;
}

// The kernel wants the name in a fixed, terminated field.
template <std::size_t N>
bool copyName(char (&field)[N], const std::string& name) {
  if (name.empty() || name.size() >= N) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memset(field, 0, N);
  std::memcpy(field, name.data(), name.size());
  return true;
}

}  // namespace

bool isBtrfs(int fd) {
  struct statfs fs {};
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == BTRFS_SUPER_MAGIC;
}

bool isSubvolumeRoot(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && st.st_ino == kSubvolumeRootInode;
}

bool hasNestedSubvolumes(int fd, ino_t ignoredFolder, bool* nested, int* error) {
  *nested = false;
  btrfs_ioctl_get_subvol_rootref_args args{};
  args.min_treeid = 0;
  for (;;) {
    const int rc = ::ioctl(fd, BTRFS_IOC_GET_SUBVOL_ROOTREF, &args);
    // EOVERFLOW: the buffer is full; the kernel has moved min_treeid past
    // what it returned, so the next call continues there.
    if (rc != 0 && errno != EOVERFLOW) return fail(error);
    for (int i = 0; i < args.num_items; ++i) {
      if (args.rootref[i].dirid != ignoredFolder) {
        *nested = true;
        return true;
      }
    }
    if (rc == 0) return true;
  }
}

bool createSnapshot(int sourceFd, int targetFolderFd, const std::string& name, int* error) {
  btrfs_ioctl_vol_args_v2 args{};
  args.fd = sourceFd;
  if (!copyName(args.name, name)) return fail(error);
  if (::ioctl(targetFolderFd, BTRFS_IOC_SNAP_CREATE_V2, &args) != 0) return fail(error);
  return true;
}

bool makeReadOnly(int subvolumeFd, int* error) {
  __u64 flags = 0;
  if (::ioctl(subvolumeFd, BTRFS_IOC_SUBVOL_GETFLAGS, &flags) != 0) return fail(error);
  flags |= BTRFS_SUBVOL_RDONLY;
  if (::ioctl(subvolumeFd, BTRFS_IOC_SUBVOL_SETFLAGS, &flags) != 0) return fail(error);
  return true;
}

bool destroySubvolume(int folderFd, const std::string& name, int* error) {
  btrfs_ioctl_vol_args args{};
  if (!copyName(args.name, name)) return fail(error);
  if (::ioctl(folderFd, BTRFS_IOC_SNAP_DESTROY, &args) != 0) return fail(error);
  return true;
}

}  // namespace kvn_vss::btrfs
