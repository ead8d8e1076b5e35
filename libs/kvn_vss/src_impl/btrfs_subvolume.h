// The few btrfs operations a point-in-time view needs, on open folders.
// Each returns false with errno-style *error when the kernel refuses.
#pragma once

#include <sys/types.h>

#include <string>

namespace kvn_vss::btrfs {

bool isBtrfs(int fd);
// The root folder of a subvolume always has the inode number 256.
bool isSubvolumeRoot(int fd);
// Whether the subvolume of fd holds other subvolumes than those placed
// directly in the folder with inode ignoredFolder. A snapshot shows nested
// subvolumes as empty folders, so such a volume cannot be snapshot whole.
bool hasNestedSubvolumes(int fd, ino_t ignoredFolder, bool* nested, int* error);
// A writable snapshot of the subvolume of sourceFd, named name in the folder
// targetFolderFd.
bool createSnapshot(int sourceFd, int targetFolderFd, const std::string& name, int* error);
bool makeReadOnly(int subvolumeFd, int* error);
// Deletes the subvolume named name in the folder folderFd.
bool destroySubvolume(int folderFd, const std::string& name, int* error);

}  // namespace kvn_vss::btrfs
