// The mounts of this process's mount namespace, from /proc/self/mountinfo.
#pragma once

#include <QString>
#include <vector>

namespace kvn_snapshot {

struct Mount {
  QString device;  // "major:minor" of the mounted file system
  QString root;    // the folder of the file system seen at mountPoint
  QString mountPoint;
  QString fsType;
  QString source;  // "/dev/sda1", or what the file system calls its source
};

// Parses the text of a mountinfo file; malformed lines are left out.
std::vector<Mount> parseMountInfo(const QString& text);
std::vector<Mount> readMountInfo();

// Where the block device devicePath (with "major:minor" device) is mounted
// with its whole file system: the shortest such mount point, or empty.
QString mountPointOf(const std::vector<Mount>& mounts, const QString& device,
                     const QString& devicePath);

}  // namespace kvn_snapshot
