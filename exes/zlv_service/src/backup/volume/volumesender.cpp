#include "backup/volume/volumesender.h"

#include <QDateTime>
#include <QUuid>
#include <algorithm>
#include <cstring>

#include "kvn_compression/lz4_stream.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_formats/md5_lanes.h"
#include "kvn_formats/volume_image/block_digest.h"
#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_formats/volume_image/hashmap_writer.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/file_transfer.h"
#include "kvn_snapshot/disk_metadata.h"
#include "kvn_snapshot/hardware_info.h"

namespace vi = kvn_formats::volume_image;

namespace {

vi::Uuid randomUuid() {
  const QByteArray bytes = QUuid::createUuid().toRfc4122();
  vi::Uuid id{};
  std::memcpy(id.data(), bytes.constData(), id.size());
  return id;
}

}  // namespace

std::uint64_t imageSizeOf(const VolumeTransfer& transfer) {
  std::uint64_t size = 0;
  const QString& path = transfer.devicePath.isEmpty() ? transfer.snapshotPath : transfer.devicePath;
  if (kvn_snapshot::getVolumeSize(path, &size)) return size;
  KLOG_W("getVolumeSize error, using OriginalSize");
  return transfer.originalSize;
}

int imageTraversalBatch() {
  return std::clamp(int(kvn_formats::md5Lanes()), kvn_snapshot::kTraversalBatch,
                    kvn_snapshot::kMaxTraversalBatch);
}

VolumeSender::VolumeSender(const VolumeTransfer& transfer, kvn_network::FileSender& sender,
                           kvn_crypto::AesContext* cipher, const std::atomic<bool>* stop,
                           bool withParent)
    : transfer_(transfer), sender_(sender), stop_(stop), withParent_(withParent) {
  if (withParent) flags_ |= vi::kFlagParent;
  chain_.append(input_);
  if (transfer.compress) {
    flags_ |= vi::kFlagLz4;
    chain_.append(*(lz4_ = std::make_unique<kvn_compression::Lz4CompressStream>(kImageBlockSize)));
  }
  if (transfer.encrypt && cipher) {
    flags_ |= vi::kFlagEncrypted;
    encrypt_ = std::make_unique<kvn_crypto::EncryptStream>(
        *cipher, kvn_crypto::EncryptStream::kVolumeBlockSize);
    chain_.append(*encrypt_);
  }
  chain_.append(position_).append(buffer_);
}

VolumeSender::~VolumeSender() = default;

bool VolumeSender::openHashmaps(std::uint64_t volumeSize,
                                const kvn_snapshot::VolumeExtent& extent) {
  writer_ = std::make_unique<vi::HashmapWriter>(
      transfer_.partPath(), flags_, volumeSize, kImageBlockSize, kImageChunkSize,
      extent.startingOffset, extent.extentLength, transfer_.fsName.toStdString());
  writer_->setCreatedAt(std::uint32_t(QDateTime::currentSecsSinceEpoch()));
  writer_->setImageId(randomUuid());
  if (!withParent_) return true;
  parent_ = std::make_unique<vi::HashmapReader>(transfer_.previousHashmapPath);
  if (parent_->blockSize() != kImageBlockSize || parent_->chunkSize() != kImageChunkSize) {
    KLOG_E("incompatible hashmap");
    return false;
  }
  writer_->setParentId(parent_->imageId());
  return true;
}

void VolumeSender::started() {
  if (!kvn_snapshot::dumpDiskMetadata(extent_.diskPath, *writer_)) {
    KLOG_W("Failed to dump disk meta data in backup");
  }
  if (!kvn_snapshot::dumpHardwareInfo(*writer_)) KLOG_W("Failed to dump hardware info in backup");
}

bool VolumeSender::run() {
  const std::uint64_t volumeSize = imageSizeOf(transfer_);
  if (!kvn_snapshot::getVolumeExtents(transfer_.devicePath, &extent_)) {
    KLOG_W("getVolumeExtents error, trying VSS path");
    if (!kvn_snapshot::getVolumeExtents(transfer_.snapshotPath, &extent_)) {
      KLOG_E("getVolumeExtents error");
      return false;
    }
  }
  if (!openHashmaps(volumeSize, extent_)) return false;
  const bool done =
      kvn_snapshot::foreachBlockInVolume(transfer_.snapshotPath, *this, !transfer_.isBoot, &stats_);
  if (!done) {
    KLOG_E("foreachBlockInVolume error");
    return false;
  }
  sender_.finish();
  KLOG_D("foreachBlockInVolume done");
  writer_->close();
  KLOG_I("Volume %s: %llu of %llu bytes read, %llu block(s) sent", qPrintable(transfer_.volumePath),
         static_cast<unsigned long long>(stats_.bytesRead),
         static_cast<unsigned long long>(volumeSize), static_cast<unsigned long long>(blocksSent_));
  return true;
}

void VolumeSender::prepare(std::span<const kvn_snapshot::VolumeBlock> batch) {
  if (batch.empty()) return;
  std::vector<vi::BlockBytes> blocks;
  blocks.reserve(batch.size());
  for (const auto& block : batch) blocks.push_back({block.data, block.length, block.offset});
  std::vector<vi::HashmapBlockDesc> descs(batch.size());
  vi::describeBlocks(blocks, *batch.front().bitmap, kImageChunkSize, descs.data());
  for (std::size_t i = 0; i < batch.size(); ++i) prepared_[batch[i].buffer] = descs[i];
}

void VolumeSender::consume(const kvn_snapshot::VolumeBlock& block) {
  if (stop_ && stop_->load()) throw KvnCommonException(KVN_HERE, KVN_E_STOPPED, "Stopped by user");
  const std::uint64_t index = block.offset / kImageBlockSize;
  KLOG_T("Processing block %u (offset %llu, len %llu)", unsigned(index),
         static_cast<unsigned long long>(block.offset),
         static_cast<unsigned long long>(block.length));
  vi::HashmapBlockDesc desc = prepared_[block.buffer];
  vi::HashmapBlockDesc previous;
  const bool unchanged =
      parent_ && parent_->readBlock(index, &previous) && previous.sameContentAs(desc);
  if (!unchanged) {
    const std::uint64_t before = position_.count();
    for (const auto& run : vi::usedRuns(desc, block.length, kImageChunkSize)) {
      chain_.head()->write(reinterpret_cast<const char*>(block.data + run.offset),
                           std::uint32_t(run.length));
    }
    chain_.head()->end();
    const std::uint64_t held = buffer_.size();
    if (position_.count() - before != held) {
      throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "outBuffer doesn't hold all the data");
    }
    desc.dataOffset = before;
    desc.dataLength = std::uint32_t(held);
    sendEncoded(before);
    ++blocksSent_;
  }
  writer_->setBlock(index, desc);
}

void VolumeSender::sendEncoded(std::uint64_t position) {
  const char* data = buffer_.data();
  std::uint64_t length = buffer_.size();
  while (length > 0) {
    const auto n = std::uint32_t(std::min<std::uint64_t>(length, kvn_network::kFileBlockSize));
    sender_.sendChunk(position, data, n, false);
    data += n;
    position += n;
    length -= n;
  }
  buffer_.clear();
}
