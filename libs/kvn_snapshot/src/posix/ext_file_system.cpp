#include "ext_file_system.h"

#include <ext2fs/ext2fs.h>

#include <algorithm>
#include <vector>

namespace kvn_snapshot {

ExtFileSystem::~ExtFileSystem() {
  if (fs_ != nullptr) ext2fs_close_free(&fs_);
}

bool ExtFileSystem::open(const QString& path, long* error) {
  const QByteArray native = path.toLocal8Bit();
  // No EXT2_FLAG_RW: nothing is ever written back.
  const errcode_t rc =
      ext2fs_open2(native.constData(), nullptr, EXT2_FLAG_64BITS, 0, 0, unix_io_manager, &fs_);
  if (rc != 0) {
    fs_ = nullptr;
    *error = rc;
    return false;
  }
  return true;
}

std::uint64_t ExtFileSystem::blockSize() const { return EXT2_BLOCK_SIZE(fs_->super); }

std::uint64_t ExtFileSystem::blockCount() const { return ext2fs_blocks_count(fs_->super); }

std::uint64_t ExtFileSystem::freeBlocks() const { return ext2fs_free_blocks_count(fs_->super); }

bool ExtFileSystem::needsRecovery() const {
  return (fs_->super->s_feature_incompat & EXT3_FEATURE_INCOMPAT_RECOVER) != 0;
}

bool ExtFileSystem::clearUnusedBlocks(kvn_formats::volume_image::GenericBitmap& bitmap,
                                      long* error) {
  errcode_t rc = ext2fs_read_block_bitmap(fs_);
  if (rc != 0) {
    *error = rc;
    return false;
  }
  const blk64_t first = fs_->super->s_first_data_block;
  const blk64_t end = std::min<blk64_t>(blockCount(), bitmap.size() * 8);
  // In slices, so that a large file system needs no second full-size copy.
  constexpr blk64_t kSlice = 1 << 20;
  std::vector<std::uint8_t> bits(kSlice / 8);
  for (blk64_t start = first; start < end; start += kSlice) {
    const blk64_t count = std::min<blk64_t>(kSlice, end - start);
    rc = ext2fs_get_block_bitmap_range2(fs_->block_map, start, count, bits.data());
    if (rc != 0) {
      *error = rc;
      return false;
    }
    if (start % 8 == 0 && count % 8 == 0) {
      // Both bitmaps put block b at the same bit of byte b / 8.
      std::uint8_t* out = bitmap.data() + start / 8;
      for (blk64_t i = 0; i < count / 8; ++i) out[i] &= bits[i];
      continue;
    }
    for (blk64_t i = 0; i < count; ++i) {
      if (((bits[i / 8] >> (i % 8)) & 1) == 0) bitmap.setCluster(start + i, false);
    }
  }
  return true;
}

}  // namespace kvn_snapshot
