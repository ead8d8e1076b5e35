// The used-cluster bitmap of a volume. ext2, ext3 and ext4 give theirs
// through libext2fs (read-only); for any other file system, or when the
// bitmaps cannot be trusted, every cluster counts as used.
#pragma once

#include <QString>
#include <cstdint>

#include "kvn_formats/volume_image/generic_bitmap.h"

namespace kvn_snapshot {

// Clusters of volumes whose file system gives no bitmap.
inline constexpr std::uint64_t kDefaultClusterSize = 4096;

struct VolumeBitmap {
  kvn_formats::volume_image::GenericBitmap bitmap;
  std::uint64_t clusterSize = kDefaultClusterSize;
  // False when every cluster was marked used for want of a usable bitmap.
  bool fromFileSystem = false;
};

// A bitmap with one bit for every cluster of a volume of volumeSize bytes
// (a partial last cluster included). With useFileSystem false, or when the
// file system gives no bitmap, all bits are set; the latter logs the
// warning "Get volume bitmap failed! %08lx, performing full backup".
VolumeBitmap readVolumeBitmap(const QString& path, std::uint64_t volumeSize, bool useFileSystem);

}  // namespace kvn_snapshot
