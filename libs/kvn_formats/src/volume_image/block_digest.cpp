#include "kvn_formats/volume_image/block_digest.h"

#include <QCryptographicHash>
#include <algorithm>
#include <cstring>

#include "kvn_log/exception.h"

namespace kvn_formats::volume_image {

namespace {

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
  QCryptographicHash md5(QCryptographicHash::Md5);
  const std::uint32_t chunks = chunkCount(length, chunkSize);
  for (std::uint32_t i = 0; i < chunks; ++i) {
    const std::uint64_t start = static_cast<std::uint64_t>(i) * chunkSize;
    const std::uint64_t size = std::min<std::uint64_t>(chunkSize, length - start);
    if (!bitmap.anySet(blockOffset + start, size)) continue;
    desc.setChunkUsed(i);
    md5.addData(
        QByteArrayView(reinterpret_cast<const char*>(data + start), static_cast<qsizetype>(size)));
  }
  const QByteArray digest = md5.result();
  std::memcpy(desc.digest.data(), digest.constData(), desc.digest.size());
  return desc;
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
