#include "kvn_snapshot/volume_bitmap.h"

#include "ext_file_system.h"
#include "kvn_log/log.h"

namespace kvn_snapshot {

namespace {

using kvn_formats::volume_image::GenericBitmap;

GenericBitmap allUsed(std::uint64_t volumeSize, std::uint64_t clusterSize) {
  const std::uint64_t clusters = (volumeSize + clusterSize - 1) / clusterSize;
  return GenericBitmap::filled((clusters + 7) / 8, clusterSize, true);
}

}  // namespace

VolumeBitmap readVolumeBitmap(const QString& path, std::uint64_t volumeSize, bool useFileSystem) {
  VolumeBitmap result;
  if (!useFileSystem) {
    result.bitmap = allUsed(volumeSize, result.clusterSize);
    return result;
  }
  ExtFileSystem fs;
  long error = 0;
  if (fs.open(path, &error)) {
    if (fs.needsRecovery()) {
      // The blocks the journal allocated are not in the bitmaps on disk yet;
      // skipping them would lose data, so the volume is read whole.
      KLOG_W("File system on '%s' needs journal recovery, its bitmaps are not used",
             path.toUtf8().constData());
      error = -1;
    } else {
      result.clusterSize = fs.blockSize();
      result.bitmap = allUsed(volumeSize, result.clusterSize);
      if (fs.clearUnusedBlocks(result.bitmap, &error)) {
        result.fromFileSystem = true;
        KLOG_I("Bitmap OK (%d)", static_cast<int>(result.bitmap.size()));
        return result;
      }
      result.clusterSize = kDefaultClusterSize;
    }
  }
  KLOG_W("Get volume bitmap failed! %08lx, performing full backup",
         static_cast<unsigned long>(error));
  result.bitmap = allUsed(volumeSize, result.clusterSize);
  return result;
}

}  // namespace kvn_snapshot
