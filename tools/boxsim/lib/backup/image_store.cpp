#include "boxsim/image_store.h"

#include <QFile>
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
// bytes. One chain serves every block of an image: each block is a stream
// of its own (its own IV, its own LZ4 frame), and both decoders start afresh
// after end().
class BlockDecoder {
 public:
  BlockDecoder(std::uint32_t flags, kvn_crypto::AesContext& cipher) {
    if (flags & vi::kFlagEncrypted)
      chain_.append(*(decrypt_ = std::make_unique<kvn_crypto::DecryptStream>(cipher)));
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

}  // namespace

bool decodeImage(const QString& dataPath, const QString& hashmapPath, const QString& contentPath,
                 kvn_crypto::AesContext& cipher, QString& reason) {
  try {
    vi::HashmapReader map(hashmapPath);
    QFile data(dataPath);
    QFile content(contentPath);
    if (!data.open(QIODevice::ReadOnly)) {
      reason = "no image data";
      return false;
    }
    if (!openSparse(content, map.imageSize(), reason)) return false;
    BlockDecoder decoder(map.flags(), cipher);
    std::vector<char> encoded;
    for (std::uint64_t index = 0; index < map.blockCount(); ++index) {
      vi::HashmapBlockDesc desc;
      if (!map.readBlock(index, &desc) || desc.dataOffset == vi::kNotSent) continue;
      if (!data.seek(qint64(desc.dataOffset))) {
        reason = QString("block %1 lies beyond the data").arg(index);
        return false;
      }
      encoded.resize(desc.dataLength);
      if (data.read(encoded.data(), qint64(desc.dataLength)) != qint64(desc.dataLength)) {
        reason = QString("block %1 is cut short").arg(index);
        return false;
      }
      const kvn_common::FlatBufferSink& plain = decoder.decode(encoded.data(), desc.dataLength);
      const std::uint64_t length = blockLength(map, index);
      const auto runs = vi::usedRuns(desc, length, map.chunkSize());
      std::uint64_t at = 0;
      for (const auto& run : runs) at += run.length;
      if (at != plain.size()) {
        reason = QString("block %1 decodes to %2 bytes, its chunks hold %3")
                     .arg(index)
                     .arg(plain.size())
                     .arg(at);
        return false;
      }
      at = 0;
      for (const auto& run : runs) {
        if (!writeAt(content, index * map.blockSize() + run.offset, plain.data() + at,
                     run.length)) {
          reason = "cannot write " + contentPath;
          return false;
        }
        at += run.length;
      }
    }
  } catch (const std::exception& e) {
    reason = QString("image does not decode: %1").arg(e.what());
    return false;
  }
  return true;
}

std::optional<RebuiltImage> rebuildImage(const BackupStore& store, std::int64_t jobId,
                                         const QString& volume, int version, const QString& output,
                                         QString& reason) {
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
    // The chain from the wanted version back to its full image.
    std::vector<std::unique_ptr<vi::HashmapReader>> maps;
    std::vector<const StoredVersion*> chain;
    for (auto it = std::make_reverse_iterator(wanted + 1); it != versions.crend(); ++it) {
      auto map = std::make_unique<vi::HashmapReader>(it->signaturePath);
      if (!maps.empty() && maps.back()->parentId() != map->imageId()) continue;
      const bool full = (map->flags() & vi::kFlagParent) == 0;
      maps.push_back(std::move(map));
      chain.push_back(&*it);
      if (full) break;
    }
    vi::HashmapReader& top = *maps.front();
    RebuiltImage image;
    image.imageSize = top.imageSize();
    image.version = version;
    QFile out(output);
    if (!openSparse(out, image.imageSize, reason)) return std::nullopt;
    std::vector<char> buffer(top.blockSize());
    for (std::uint64_t index = 0; index < top.blockCount(); ++index) {
      vi::HashmapBlockDesc desc;
      if (!top.readBlock(index, &desc)) continue;
      const std::uint64_t length = blockLength(top, index);
      std::size_t source = 0;
      vi::HashmapBlockDesc held = desc;
      while (held.dataOffset == vi::kNotSent) {
        if (++source >= maps.size() || !maps[source]->readBlock(index, &held)) {
          reason = QString("block %1 of version %2 is in no parent").arg(index).arg(version);
          return std::nullopt;
        }
      }
      QFile content(chain[source]->contentPath);
      if (!content.open(QIODevice::ReadOnly) || !content.seek(qint64(index * top.blockSize())) ||
          content.read(buffer.data(), qint64(length)) != qint64(length)) {
        reason = QString("cannot read block %1 of %2").arg(index).arg(chain[source]->contentPath);
        return std::nullopt;
      }
      std::vector<ImageRange> ranges;
      for (const auto& run : vi::usedRuns(desc, length, top.chunkSize())) {
        const std::uint64_t at = index * top.blockSize() + run.offset;
        if (!writeAt(out, at, buffer.data() + run.offset, run.length)) {
          reason = "cannot write " + output;
          return std::nullopt;
        }
        ranges.push_back({at, run.length});
      }
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
