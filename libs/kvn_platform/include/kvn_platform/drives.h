// The file systems a user would call the machine's drives: those on local
// block devices, each named by the folder where it is mounted. Pseudo file
// systems (proc, tmpfs, cgroup...), network shares, optical media and
// read-only package images are never drives.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kvn_platform/filesystem.h"

namespace kvn_platform {

// Whether the block device behind a mounted file system is removable.
using RemovableTest = std::function<bool(const MountEntry&)>;

// The mount points of the drives in mounts, in mount order. A file system
// counts once, at the first mount that shows it (bind mounts of its folders
// are not drives of their own), and a mount hidden by a later mount on the
// same folder is left out. Removable drives are kept only with
// includeRemovable.
std::vector<std::string> selectDrives(const std::vector<MountEntry>& mounts, bool includeRemovable,
                                      const RemovableTest& isRemovable);

// The drives of this system: the mount table of this process, the removable
// flag of each device's disk (/sys/block/<disk>/removable), and only mount
// points that are folders. On failure answers false with errno in *error.
bool listDrives(bool includeRemovable, std::vector<std::string>& mountPoints, int* error);

}  // namespace kvn_platform
