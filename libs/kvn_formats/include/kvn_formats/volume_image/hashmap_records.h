// The records of a volume hashmap file: the 512-byte header, the block
// table and the 92-byte block descriptors. All integers in the file are
// big-endian.
//
//   0     header (512 bytes)
//   512   block table: blockCount entries of 4 bytes, each the file offset of
//         the block's descriptor or kNoEntry
//   data  from dataAreaStart(): descriptors, disk meta data, hardware info
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kvn_formats::volume_image {

inline constexpr char kHashmapMagic[4] = {'K', 'v', 'H', 'm'};
inline constexpr std::uint32_t kHashmapVersion = 0x00020003;
inline constexpr std::uint32_t kHashmapOldestVersion = 0x00020002;
inline constexpr std::uint32_t kHeaderSize = 512;
inline constexpr std::uint32_t kSectorSize = 512;
inline constexpr std::uint32_t kDescriptorSize = 92;
inline constexpr std::uint32_t kMaxChunksPerBlock = 512;
// Table entries, offsets and lengths that point nowhere.
inline constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
inline constexpr std::uint64_t kNotSent = 0xFFFFFFFFFFFFFFFF;

// Header flags.
inline constexpr std::uint32_t kFlagParent = 0x1;
inline constexpr std::uint32_t kFlagLz4 = 0x2;
inline constexpr std::uint32_t kFlagEncrypted = 0x4;

// Kinds of disk meta data.
inline constexpr std::uint32_t kMetaNone = 0;
inline constexpr std::uint32_t kMetaMbr = 1;
inline constexpr std::uint32_t kMetaGpt = 4;

using Uuid = std::array<std::uint8_t, 16>;

struct HashmapHeader {
  std::uint32_t version = kHashmapVersion;
  std::uint64_t imageSize = 0;
  std::uint32_t flags = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t chunkSize = 0;
  std::uint32_t createdAt = 0;
  Uuid imageId{};
  Uuid parentId{};
  std::uint64_t partitionOffset = 0;
  std::uint64_t partitionLength = 0;
  std::uint32_t metaType = kMetaNone;
  Uuid diskId{};
  std::uint32_t metaOffset = kNoEntry;
  std::uint32_t metaLength = kNoEntry;
  std::array<char, 16> fsName{};
  std::uint32_t hwOffset = kNoEntry;
  std::uint32_t hwLength = kNoEntry;

  // ceil(imageSize / blockSize); 0 while blockSize is 0.
  std::uint64_t blockCount() const;
  // The first 512-byte boundary after the block table.
  std::uint64_t dataAreaStart() const;
  // The name up to its first zero byte.
  std::string fsNameText() const;
  void setFsName(const std::string& name);
};

// Which of the size rules a header breaks, as a fixed text naming the
// field; null when it keeps all of them. Beyond the multiples of 512 and of
// the chunk size, no size may be zero and a block holds at most 512 chunks,
// so that every chunk has its bit in the descriptor.
const char* headerSizeProblem(std::uint64_t imageSize, std::uint32_t blockSize,
                              std::uint32_t chunkSize);

struct HashmapBlockDesc {
  std::array<std::uint8_t, 16> digest{};
  // Bit i (byte i / 8, least significant bit first): chunk i holds used
  // bytes.
  std::array<std::uint8_t, 64> chunkMap{};
  std::uint64_t dataOffset = kNotSent;
  std::uint32_t dataLength = kNoEntry;

  // Both throw "HashmapBlockDesc: Invalid chunk number" from chunk 512 on.
  bool isChunkUsed(std::uint32_t chunk) const;
  void setChunkUsed(std::uint32_t chunk, bool used = true);

  // Equal blocks have the same digest and chunk map; where their data lies
  // takes no part.
  bool sameContentAs(const HashmapBlockDesc& other) const {
    return digest == other.digest && chunkMap == other.chunkMap;
  }
};

}  // namespace kvn_formats::volume_image
