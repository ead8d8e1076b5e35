// What libblkid finds on a block device: the file system's type, UUID and
// label.
#pragma once

#include <QString>

namespace kvn_snapshot {

struct FsProbe {
  QString type;   // "ext4", "vfat", ...
  QString usage;  // "filesystem" for a file system
  QString uuid;
  QString label;
};

// False when the device cannot be opened or holds no single known signature.
bool probeFileSystem(const QString& devicePath, FsProbe* probe);

}  // namespace kvn_snapshot
