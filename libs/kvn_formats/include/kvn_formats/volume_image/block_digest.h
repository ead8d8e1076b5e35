// What a block of a volume image contributes: which chunks hold used bytes
// (by the volume's cluster bitmap), the MD5 over those chunks in ascending
// order, and the byte runs that are sent. The last block of a volume may end
// inside a chunk: that chunk counts only the bytes up to the volume's end,
// never whatever lies in the buffer beyond.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kvn_formats/volume_image/generic_bitmap.h"
#include "kvn_formats/volume_image/hashmap_records.h"

namespace kvn_formats::volume_image {

// A byte range inside a block.
struct ByteRun {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool operator==(const ByteRun&) const = default;
};

// data holds length bytes of the volume from blockOffset on. The result has
// dataOffset and dataLength at kNotSent. Throws when length needs more than
// 512 chunks or the bitmap does not cover the block.
HashmapBlockDesc describeBlock(const std::uint8_t* data, std::uint64_t length,
                               std::uint64_t blockOffset, const GenericBitmap& bitmap,
                               std::uint32_t chunkSize);

// The chunk map alone of a block of length bytes at blockOffset: what
// describeBlock gives without the digest. Throws like describeBlock.
HashmapBlockDesc usedChunksOf(std::uint64_t length, std::uint64_t blockOffset,
                              const GenericBitmap& bitmap, std::uint32_t chunkSize);

// One block of a batch: data holds length bytes of the volume from offset
// on.
struct BlockBytes {
  const std::uint8_t* data = nullptr;
  std::uint64_t length = 0;
  std::uint64_t offset = 0;
};

// describeBlock of every block into out (blocks.size() entries), their
// digests computed side by side in the vector lanes: the same results, much
// faster than one at a time.
void describeBlocks(std::span<const BlockBytes> blocks, const GenericBitmap& bitmap,
                    std::uint32_t chunkSize, HashmapBlockDesc* out);

// The maximal runs of consecutive used chunks of a block of length bytes,
// the last one cut at length.
std::vector<ByteRun> usedRuns(const HashmapBlockDesc& desc, std::uint64_t length,
                              std::uint32_t chunkSize);

}  // namespace kvn_formats::volume_image
