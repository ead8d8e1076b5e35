#include "boxsim/image_store.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <iterator>
#include <memory>

#include "boxsim/backup_store.h"
#include "kvn_common/buffer_sink.h"
#include "kvn_compression/lz4_stream.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_formats/volume_image/block_digest.h"
#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace vi = kvn_formats::volume_image;

namespace boxsim {

namespace {

constexpr std::uint32_t kDecodeBuffer = 0x200000;

std::uint64_t blockLength(const vi::HashmapReader& map, std::uint64_t index) {
  const std::uint64_t offset = index * map.blockSize();
  return std::min<std::uint64_t>(map.blockSize(), map.imageSize() - offset);
}

// Turns the encoded bytes of one sent block into its plain used-chunk
// bytes. One chain serves every block of a version: each block is a stream
// of its own (its own IV, its own LZ4 frame), and both decoders start afresh
// after end().
class BlockDecoder {
 public:
  BlockDecoder(std::uint32_t flags, kvn_crypto::AesContext* cipher) {
    if (flags & vi::kFlagEncrypted)
      chain_.append(*(decrypt_ = std::make_unique<kvn_crypto::DecryptStream>(*cipher)));
    if (flags & vi::kFlagLz4)
      chain_.append(
          *(lz4_ = std::make_unique<kvn_compression::Lz4DecompressStream>(kDecodeBuffer)));
    chain_.append(plain_);
  }

  // The plain bytes stay valid until the next call.
  const kvn_common::FlatBufferSink& decode(const char* encoded, std::uint32_t size) {
    plain_.clear();
    chain_.head()->write(encoded, size);
    chain_.head()->end();
    return plain_;
  }

 private:
  kvn_common::FlatBufferSink plain_;
  kvn_common::StreamChain chain_;
  std::unique_ptr<kvn_crypto::DecryptStream> decrypt_;
  std::unique_ptr<kvn_compression::Lz4DecompressStream> lz4_;
};

// One stored version on the way from the wanted one back to its full
// image: its hashmap, its data stream as received and a decoder for it.
struct ChainVersion {
  std::unique_ptr<vi::HashmapReader> map;
  std::unique_ptr<QFile> data;
  std::unique_ptr<BlockDecoder> decoder;
};

bool openSparse(QFile& file, std::uint64_t size, QString& reason) {
  if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate) || !file.resize(qint64(size))) {
    reason = "cannot create " + file.fileName() + ": " + file.errorString();
    return false;
  }
  return true;
}

bool writeAt(QFile& file, std::uint64_t offset, const char* data, std::uint64_t length) {
  return file.seek(qint64(offset)) && file.write(data, qint64(length)) == qint64(length);
}

// The chain from the wanted version back to its full image, newest first;
// empty with a reason when a stream cannot be opened or needs a key that
// is missing.
std::vector<ChainVersion> openChain(const std::vector<StoredVersion>& versions,
                                    std::vector<StoredVersion>::const_iterator wanted,
                                    kvn_crypto::AesContext& cipher,
                                    const kvn_crypto::Bytes& dataKey, QString& reason) {
  std::vector<ChainVersion> chain;
  for (auto it = std::make_reverse_iterator(wanted + 1); it != versions.crend(); ++it) {
    auto map = std::make_unique<vi::HashmapReader>(it->signaturePath);
    if (!chain.empty() && chain.back().map->parentId() != map->imageId()) continue;
    const bool full = (map->flags() & vi::kFlagParent) == 0;
    if ((map->flags() & vi::kFlagEncrypted) && !cipher.decryptReady()) {
      if (dataKey.empty()) {
        reason = QString("version %1 is encrypted: the box's data key is needed").arg(it->number);
        return {};
      }
      cipher.init(dataKey, dataKey, 256, kvn_crypto::AesContext::Cbc);
    }
    ChainVersion version;
    version.decoder = std::make_unique<BlockDecoder>(map->flags(), &cipher);
    version.map = std::move(map);
    version.data = std::make_unique<QFile>(it->contentPath);
    if (!version.data->open(QIODevice::ReadOnly)) {
      reason = "cannot read " + it->contentPath;
      return {};
    }
    chain.push_back(std::move(version));
    if (full) break;
  }
  return chain;
}

// The plain used-chunk bytes of one sent block of a version.
const kvn_common::FlatBufferSink* decodeBlock(ChainVersion& version, std::uint64_t index,
                                              const vi::HashmapBlockDesc& desc,
                                              std::vector<char>& encoded, QString& reason) {
  encoded.resize(desc.dataLength);
  if (!version.data->seek(qint64(desc.dataOffset)) ||
      version.data->read(encoded.data(), qint64(desc.dataLength)) != qint64(desc.dataLength)) {
    reason = QString("block %1 is cut short").arg(index);
    return nullptr;
  }
  const kvn_common::FlatBufferSink& plain =
      version.decoder->decode(encoded.data(), desc.dataLength);
  std::uint64_t used = 0;
  const std::uint64_t length = blockLength(*version.map, index);
  for (const auto& run : vi::usedRuns(desc, length, version.map->chunkSize())) used += run.length;
  if (used != plain.size()) {
    reason = QString("block %1 decodes to %2 bytes, its chunks hold %3")
                 .arg(index)
                 .arg(plain.size())
                 .arg(used);
    return nullptr;
  }
  return &plain;
}

}  // namespace

bool checkImage(const QString& dataPath, const QString& hashmapPath, QString& reason) {
  const QFileInfo data(dataPath);
  if (!data.isFile()) {
    reason = "no image data";
    return false;
  }
  const auto size = static_cast<std::uint64_t>(data.size());
  try {
    vi::HashmapReader map(hashmapPath);
    for (std::uint64_t index = 0; index < map.blockCount(); ++index) {
      vi::HashmapBlockDesc desc;
      if (!map.readBlock(index, &desc) || desc.dataOffset == vi::kNotSent) continue;
      if (desc.dataOffset > size || desc.dataLength > size - desc.dataOffset) {
        reason = QString("block %1 lies beyond the data").arg(index);
        return false;
      }
    }
  } catch (const std::exception& e) {
    reason = QString("unreadable hashmap: %1").arg(e.what());
    return false;
  }
  return true;
}

std::optional<RebuiltImage> rebuildImage(const BackupStore& store, std::int64_t jobId,
                                         const QString& volume, int version, const QString& output,
                                         const kvn_crypto::Bytes& dataKey, QString& reason) {
  const std::vector<StoredVersion> versions = store.versions(jobId, volume);
  if (versions.empty()) {
    reason = "no image of " + volume;
    return std::nullopt;
  }
  if (version == 0) version = versions.back().number;
  const auto wanted = std::find_if(versions.cbegin(), versions.cend(),
                                   [&](const StoredVersion& v) { return v.number == version; });
  if (wanted == versions.cend()) {
    reason = QString("no version %1 of %2").arg(version).arg(volume);
    return std::nullopt;
  }
  try {
    kvn_crypto::AesContext cipher;
    std::vector<ChainVersion> chain = openChain(versions, wanted, cipher, dataKey, reason);
    if (chain.empty()) return std::nullopt;
    vi::HashmapReader& top = *chain.front().map;
    RebuiltImage image;
    image.imageSize = top.imageSize();
    image.version = version;
    QFile out(output);
    if (!openSparse(out, image.imageSize, reason)) return std::nullopt;
    std::vector<char> encoded;
    for (std::uint64_t index = 0; index < top.blockCount(); ++index) {
      vi::HashmapBlockDesc desc;
      if (!top.readBlock(index, &desc)) continue;
      std::size_t source = 0;
      vi::HashmapBlockDesc held = desc;
      while (held.dataOffset == vi::kNotSent) {
        if (++source >= chain.size() || !chain[source].map->readBlock(index, &held)) {
          reason = QString("block %1 of version %2 is in no parent").arg(index).arg(version);
          return std::nullopt;
        }
      }
      const kvn_common::FlatBufferSink* plain =
          decodeBlock(chain[source], index, held, encoded, reason);
      if (plain == nullptr) return std::nullopt;
      const std::uint64_t length = blockLength(top, index);
      std::uint64_t at = 0;
      for (const auto& run : vi::usedRuns(held, length, top.chunkSize())) {
        if (!writeAt(out, index * top.blockSize() + run.offset, plain->data() + at, run.length)) {
          reason = "cannot write " + output;
          return std::nullopt;
        }
        at += run.length;
      }
      std::vector<ImageRange> ranges;
      for (const auto& run : vi::usedRuns(desc, length, top.chunkSize()))
        ranges.push_back({index * top.blockSize() + run.offset, run.length});
      image.usedBlocks.push_back(std::move(ranges));
    }
    return image;
  } catch (const std::exception& e) {
    reason = QString("cannot rebuild: %1").arg(e.what());
    return std::nullopt;
  }
}

ImageVerifyResult verifyImage(const RebuiltImage& image, const QString& rebuilt,
                              const QString& reference) {
  ImageVerifyResult result;
  QFile left(rebuilt);
  QFile right(reference);
  if (!left.open(QIODevice::ReadOnly) || !right.open(QIODevice::ReadOnly)) {
    result.failed = 1;
    result.mismatches << "cannot open " + (left.isOpen() ? reference : rebuilt);
    return result;
  }
  for (const auto& ranges : image.usedBlocks) {
    bool same = true;
    for (const auto& range : ranges) {
      if (!left.seek(qint64(range.offset)) || !right.seek(qint64(range.offset)) ||
          left.read(qint64(range.length)) != right.read(qint64(range.length))) {
        same = false;
        result.mismatches << QString("differs: bytes %1 to %2")
                                 .arg(range.offset)
                                 .arg(range.offset + range.length);
        break;
      }
    }
    same ? ++result.passed : ++result.failed;
  }
  return result;
}

}  // namespace boxsim
