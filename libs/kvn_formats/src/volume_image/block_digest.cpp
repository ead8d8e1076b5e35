#include "kvn_formats/volume_image/block_digest.h"

#include <algorithm>

#include "kvn_formats/md5_lanes.h"
#include "kvn_log/exception.h"

namespace kvn_formats::volume_image {

namespace {

using kvn_formats::Md5Digest;
using kvn_formats::Md5Message;
using kvn_formats::Md5Piece;

std::uint32_t chunkCount(std::uint64_t length, std::uint32_t chunkSize) {
  const std::uint64_t count = (length + chunkSize - 1) / chunkSize;
  if (chunkSize == 0 || count > kMaxChunksPerBlock) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapBlockDesc: Invalid chunk number");
  }
  return static_cast<std::uint32_t>(count);
}

}  // namespace

HashmapBlockDesc describeBlock(const std::uint8_t* data, std::uint64_t length,
                               std::uint64_t blockOffset, const GenericBitmap& bitmap,
                               std::uint32_t chunkSize) {
  HashmapBlockDesc desc;
  const BlockBytes block{data, length, blockOffset};
  describeBlocks({&block, 1}, bitmap, chunkSize, &desc);
  return desc;
}

HashmapBlockDesc usedChunksOf(std::uint64_t length, std::uint64_t blockOffset,
                              const GenericBitmap& bitmap, std::uint32_t chunkSize) {
  HashmapBlockDesc desc;
  const std::uint32_t chunks = chunkCount(length, chunkSize);
  for (std::uint32_t i = 0; i < chunks; ++i) {
    const std::uint64_t start = static_cast<std::uint64_t>(i) * chunkSize;
    const std::uint64_t size = std::min<std::uint64_t>(chunkSize, length - start);
    if (bitmap.anySet(blockOffset + start, size)) desc.setChunkUsed(i);
  }
  return desc;
}

void describeBlocks(std::span<const BlockBytes> blocks, const GenericBitmap& bitmap,
                    std::uint32_t chunkSize, HashmapBlockDesc* out) {
  // Each block's message is its used runs, read where they lie.
  std::vector<std::vector<Md5Piece>> pieces(blocks.size());
  std::vector<Md5Message> messages(blocks.size());
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const BlockBytes& block = blocks[b];
    HashmapBlockDesc& desc = out[b];
    desc = usedChunksOf(block.length, block.offset, bitmap, chunkSize);
    for (const ByteRun& run : usedRuns(desc, block.length, chunkSize)) {
      pieces[b].emplace_back(block.data + run.offset, run.length);
    }
    messages[b] = pieces[b];
  }
  std::vector<Md5Digest> digests(blocks.size());
  md5Messages(messages, digests.data());
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    out[b].digest = digests[b];
  }
}

std::vector<ByteRun> usedRuns(const HashmapBlockDesc& desc, std::uint64_t length,
                              std::uint32_t chunkSize) {
  std::vector<ByteRun> runs;
  const std::uint32_t chunks = chunkCount(length, chunkSize);
  for (std::uint32_t i = 0; i < chunks; ++i) {
    if (!desc.isChunkUsed(i)) continue;
    const std::uint64_t start = static_cast<std::uint64_t>(i) * chunkSize;
    const std::uint64_t end = std::min<std::uint64_t>(start + chunkSize, length);
    if (!runs.empty() && runs.back().offset + runs.back().length == start) {
      runs.back().length = end - runs.back().offset;
    } else {
      runs.push_back({start, end - start});
    }
  }
  return runs;
}

}  // namespace kvn_formats::volume_image
