// An ext2, ext3 or ext4 file system opened read-only with libext2fs, for
// its geometry and its block bitmaps.
#pragma once

#include <QString>
#include <cstdint>

#include "kvn_formats/volume_image/generic_bitmap.h"

struct struct_ext2_filsys;

namespace kvn_snapshot {

class ExtFileSystem {
 public:
  ExtFileSystem() = default;
  ~ExtFileSystem();
  ExtFileSystem(const ExtFileSystem&) = delete;
  ExtFileSystem& operator=(const ExtFileSystem&) = delete;

  // False with libext2fs's error code when path holds no ext file system.
  bool open(const QString& path, long* error);

  std::uint64_t blockSize() const;
  std::uint64_t blockCount() const;
  std::uint64_t freeBlocks() const;
  // The journal has not been replayed: the bitmaps on disk may miss blocks
  // that the journal already allocated.
  bool needsRecovery() const;

  // Clears the bits of the blocks the file system does not use in bitmap,
  // which counts one bit per file-system block. Bits beyond the file system
  // (and the blocks before its first data block) are left alone. False with
  // libext2fs's error code when the bitmaps cannot be read.
  bool clearUnusedBlocks(kvn_formats::volume_image::GenericBitmap& bitmap, long* error);

 private:
  struct_ext2_filsys* fs_ = nullptr;
};

}  // namespace kvn_snapshot
