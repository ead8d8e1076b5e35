#include "kvn_formats/volume_image/hashmap_records.h"

#include <algorithm>
#include <cstring>

#include "field_io.h"
#include "kvn_log/exception.h"
#include "record_codec.h"

namespace kvn_formats::volume_image {

std::uint64_t HashmapHeader::blockCount() const {
  if (blockSize == 0) return 0;
  return imageSize / blockSize + (imageSize % blockSize != 0 ? 1 : 0);
}

std::uint64_t HashmapHeader::dataAreaStart() const {
  return ((blockCount() * 4 + 511) / 512 + 1) * 512;
}

std::string HashmapHeader::fsNameText() const {
  const auto end = std::find(fsName.begin(), fsName.end(), '\0');
  return std::string(fsName.begin(), end);
}

void HashmapHeader::setFsName(const std::string& name) {
  fsName.fill('\0');
  std::memcpy(fsName.data(), name.data(), std::min(name.size(), fsName.size()));
}

const char* headerSizeProblem(std::uint64_t imageSize, std::uint32_t blockSize,
                              std::uint32_t chunkSize) {
  if (imageSize % kSectorSize != 0) return "imageSize must be a multiple of sector size";
  if (blockSize == 0 || blockSize % kSectorSize != 0) {
    return "blockSize must be a multiple of sector size";
  }
  if (chunkSize == 0 || chunkSize % kSectorSize != 0) {
    return "chunkSize must be a multiple of sector size";
  }
  if (blockSize % chunkSize != 0) return "blockSize must be a multiple of chunkSize";
  if (blockSize / chunkSize > kMaxChunksPerBlock) return "a block holds at most 512 chunks";
  return nullptr;
}

namespace {

void checkChunk(std::uint32_t chunk) {
  if (chunk >= kMaxChunksPerBlock) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapBlockDesc: Invalid chunk number");
  }
}

}  // namespace

bool HashmapBlockDesc::isChunkUsed(std::uint32_t chunk) const {
  checkChunk(chunk);
  return (chunkMap[chunk / 8] >> (chunk % 8)) & 1;
}

void HashmapBlockDesc::setChunkUsed(std::uint32_t chunk, bool used) {
  checkChunk(chunk);
  const auto bit = static_cast<std::uint8_t>(1u << (chunk % 8));
  if (used) {
    chunkMap[chunk / 8] |= bit;
  } else {
    chunkMap[chunk / 8] &= static_cast<std::uint8_t>(~bit);
  }
}

namespace codec {

void encodeHeader(const HashmapHeader& h, std::uint8_t (&out)[kHeaderSize]) {
  std::memset(out, 0, sizeof out);
  io::Packer p(out);
  p.raw(kHashmapMagic, 4);
  p.u32(h.version);
  p.u64(h.imageSize);
  p.u32(h.flags);
  p.u32(h.blockSize);
  p.u32(h.chunkSize);
  p.u32(h.createdAt);
  p.raw(h.imageId.data(), 16);
  p.raw(h.parentId.data(), 16);
  p.u64(h.partitionOffset);
  p.u64(h.partitionLength);
  p.u32(h.metaType);
  p.raw(h.diskId.data(), 16);
  p.u32(h.metaOffset);
  p.u32(h.metaLength);
  p.raw(h.fsName.data(), 16);
  p.u32(h.hwOffset);
  p.u32(h.hwLength);
}

HashmapHeader decodeHeaderFields(const std::uint8_t* in) {
  io::Unpacker u(in);
  HashmapHeader h;
  h.version = u.u32();
  h.imageSize = u.u64();
  h.flags = u.u32();
  h.blockSize = u.u32();
  h.chunkSize = u.u32();
  h.createdAt = u.u32();
  u.raw(h.imageId.data(), 16);
  u.raw(h.parentId.data(), 16);
  h.partitionOffset = u.u64();
  h.partitionLength = u.u64();
  h.metaType = u.u32();
  u.raw(h.diskId.data(), 16);
  h.metaOffset = u.u32();
  h.metaLength = u.u32();
  u.raw(h.fsName.data(), 16);
  h.hwOffset = u.u32();
  h.hwLength = u.u32();
  return h;
}

void encodeDescriptor(const HashmapBlockDesc& d, std::uint8_t (&out)[kDescriptorSize]) {
  io::Packer p(out);
  p.raw(d.digest.data(), d.digest.size());
  p.raw(d.chunkMap.data(), d.chunkMap.size());
  p.u64(d.dataOffset);
  p.u32(d.dataLength);
}

HashmapBlockDesc decodeDescriptor(const std::uint8_t (&in)[kDescriptorSize]) {
  io::Unpacker u(in);
  HashmapBlockDesc d;
  u.raw(d.digest.data(), d.digest.size());
  u.raw(d.chunkMap.data(), d.chunkMap.size());
  d.dataOffset = u.u64();
  d.dataLength = u.u32();
  return d;
}

}  // namespace codec

}  // namespace kvn_formats::volume_image
