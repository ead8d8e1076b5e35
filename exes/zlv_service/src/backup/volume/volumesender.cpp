#include "backup/volume/volumesender.h"

#include <QDateTime>
#include <QUuid>
#include <algorithm>
#include <cstring>

#include "database/signaturefile.h"
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

QString VolumeTransfer::fingerprintsPartPath() const {
  return kvn_agent_database::fingerprintsPath(newHashmapPath) + QStringLiteral(".part");
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
  if (transfer.compress) flags_ |= vi::kFlagLz4;
  const kvn_crypto::AesContext* dataCipher = transfer.encrypt ? cipher : nullptr;
  if (dataCipher) flags_ |= vi::kFlagEncrypted;
  dataCipher_ = dataCipher;
  encoder_ = takeEncoder();
  for (int slot = 0; slot < kEncodedAhead; ++slot) freeSlots_.push_back(slot);
}

VolumeSender::~VolumeSender() = default;

bool VolumeSender::openHashmaps(std::uint64_t volumeSize,
                                const kvn_snapshot::VolumeExtent& extent) {
  writer_ = std::make_unique<vi::HashmapWriter>(
      transfer_.partPath(), flags_, volumeSize, kImageBlockSize, kImageChunkSize,
      extent.startingOffset, extent.extentLength, transfer_.fsName.toStdString());
  writer_->setCreatedAt(std::uint32_t(QDateTime::currentSecsSinceEpoch()));
  const vi::Uuid imageId = randomUuid();
  writer_->setImageId(imageId);
  if (withParent_) {
    parent_ = std::make_unique<vi::HashmapReader>(transfer_.previousHashmapPath);
    if (parent_->blockSize() != kImageBlockSize || parent_->chunkSize() != kImageChunkSize) {
      KLOG_E("incompatible hashmap");
      return false;
    }
    writer_->setParentId(parent_->imageId());
  }
  openFingerprints(imageId, writer_->blockCount());
  return true;
}

void VolumeSender::openFingerprints(const vi::Uuid& imageId, std::uint64_t blocks) {
  if (parent_) {
    const QString path = kvn_agent_database::fingerprintsPath(transfer_.previousHashmapPath);
    QString why;
    parentPrints_ =
        vi::BlockFingerprints::load(path, parent_->imageId(), parent_->blockCount(), &why);
    if (!parentPrints_) {
      KLOG_I("Block fingerprints %s not used (%s): every block is digested", qPrintable(path),
             qPrintable(why));
    }
  }
  if (parentPrints_) {
    prints_.emplace(imageId, blocks, *parentPrints_);
  } else {
    prints_.emplace(imageId, blocks);
  }
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
  caller_ = std::this_thread::get_id();
  const bool done =
      kvn_snapshot::foreachBlockInVolume(transfer_.snapshotPath, *this, !transfer_.isBoot, &stats_);
  if (!done) {
    KLOG_E("foreachBlockInVolume error");
    return false;
  }
  sender_.finish();
  KLOG_D("foreachBlockInVolume done");
  writer_->close();
  QString why;
  if (!prints_->save(transfer_.fingerprintsPartPath(), &why)) {
    KLOG_W("cannot write the block fingerprints %s (%s): the next delta digests every block",
           qPrintable(transfer_.fingerprintsPartPath()), qPrintable(why));
  }
  KLOG_I("Volume %s: %llu of %llu bytes read, %llu block(s) sent", qPrintable(transfer_.volumePath),
         static_cast<unsigned long long>(stats_.bytesRead),
         static_cast<unsigned long long>(volumeSize), static_cast<unsigned long long>(blocksSent_));
  return true;
}

void VolumeSender::blockRead(const kvn_snapshot::VolumeBlock& block) {
  const std::uint64_t index = block.offset / kImageBlockSize;
  const vi::BlockFingerprint print = prints_->compute(block.data, block.length);
  prints_->set(index, print);
  vi::HashmapBlockDesc& desc = prepared_[block.buffer];
  desc = vi::usedChunksOf(block.length, block.offset, *block.bitmap, kImageChunkSize);
  changed_[block.buffer] = !reuseParentDigest(index, print, desc);
  encodedSlot_[block.buffer] = -1;
  // In a delta the few blocks that changed are encoded by the thread that
  // read them, beside the reading of the others. Left to the caller's
  // thread, changes gathered at the volume's end would be encoded one after
  // another once everything else had been read.
  if (parent_ && changed_[block.buffer]) encodeAhead(block, desc);
}

void VolumeSender::encodeAhead(const kvn_snapshot::VolumeBlock& block,
                               const vi::HashmapBlockDesc& desc) {
  const int slot = takeEncodedSlot();
  if (slot < 0) return;
  try {
    std::unique_ptr<BlockEncoder> encoder = takeEncoder();
    encoder->encodeInto(block.data, block.length, desc, encoded_[slot]);
    giveEncoder(std::move(encoder));
  } catch (...) {
    releaseEncodedSlot(slot);
    throw;
  }
  encodedSlot_[block.buffer] = slot;
}

std::unique_ptr<BlockEncoder> VolumeSender::takeEncoder() {
  {
    std::lock_guard lock(slotsMutex_);
    if (!spareEncoders_.empty()) {
      std::unique_ptr<BlockEncoder> encoder = std::move(spareEncoders_.back());
      spareEncoders_.pop_back();
      return encoder;
    }
  }
  return std::make_unique<BlockEncoder>(kImageBlockSize, kImageChunkSize, transfer_.compress,
                                        dataCipher_);
}

void VolumeSender::giveEncoder(std::unique_ptr<BlockEncoder> encoder) {
  std::lock_guard lock(slotsMutex_);
  spareEncoders_.push_back(std::move(encoder));
}

void VolumeSender::prepare(std::span<const kvn_snapshot::VolumeBlock> batch) {
  if (batch.empty()) return;
  // The blocks that did not take the parent's digest when read are
  // digested side by side.
  std::vector<vi::BlockBytes> blocks;
  std::vector<const kvn_snapshot::VolumeBlock*> digested;
  for (const kvn_snapshot::VolumeBlock& block : batch) {
    if (!changed_[block.buffer]) continue;
    blocks.push_back({block.data, block.length, block.offset});
    digested.push_back(&block);
  }
  std::vector<vi::HashmapBlockDesc> fresh(blocks.size());
  vi::describeBlocks(blocks, *batch.front().bitmap, kImageChunkSize, fresh.data());
  const bool onReader = std::this_thread::get_id() != caller_;
  for (std::size_t k = 0; k < digested.size(); ++k) {
    const kvn_snapshot::VolumeBlock& block = *digested[k];
    prepared_[block.buffer] = fresh[k];
    changed_[block.buffer] = changed(block.offset / kImageBlockSize, fresh[k]);
    int& slot = encodedSlot_[block.buffer];
    // Encoded when read, yet its digest is the parent's: only bytes outside
    // the used chunks changed.
    if (!changed_[block.buffer] && slot >= 0) {
      releaseEncodedSlot(slot);
      slot = -1;
    }
    if (onReader && changed_[block.buffer] && slot < 0) encodeAhead(block, fresh[k]);
  }
}

bool VolumeSender::changed(std::uint64_t index, const vi::HashmapBlockDesc& desc) {
  if (!parent_) return true;
  std::lock_guard lock(parentMutex_);
  vi::HashmapBlockDesc previous;
  return !(parent_->readBlock(index, &previous) && previous.sameContentAs(desc));
}

bool VolumeSender::reuseParentDigest(std::uint64_t index, const vi::BlockFingerprint& print,
                                     vi::HashmapBlockDesc& desc) {
  if (!parentPrints_ || index >= parentPrints_->blockCount() ||
      !parentPrints_->matches(index, print)) {
    return false;
  }
  std::lock_guard lock(parentMutex_);
  vi::HashmapBlockDesc previous;
  if (!parent_->readBlock(index, &previous) || previous.chunkMap != desc.chunkMap) return false;
  desc.digest = previous.digest;
  return true;
}

int VolumeSender::takeEncodedSlot() {
  std::lock_guard lock(slotsMutex_);
  if (freeSlots_.empty()) return -1;
  const int slot = freeSlots_.back();
  freeSlots_.pop_back();
  return slot;
}

void VolumeSender::releaseEncodedSlot(int slot) {
  std::lock_guard lock(slotsMutex_);
  freeSlots_.push_back(slot);
}

void VolumeSender::consume(const kvn_snapshot::VolumeBlock& block) {
  if (stop_ && stop_->load()) throw KvnCommonException(KVN_HERE, KVN_E_STOPPED, "Stopped by user");
  const std::uint64_t index = block.offset / kImageBlockSize;
  KLOG_T("Processing block %u (offset %llu, len %llu)", unsigned(index),
         static_cast<unsigned long long>(block.offset),
         static_cast<unsigned long long>(block.length));
  vi::HashmapBlockDesc desc = prepared_[block.buffer];
  if (changed_[block.buffer]) {
    const int slot = encodedSlot_[block.buffer];
    const std::span<const char> bytes = slot >= 0
                                            ? std::span<const char>(encoded_[slot])
                                            : encoder_->encode(block.data, block.length, desc);
    desc.dataOffset = sent_;
    desc.dataLength = std::uint32_t(bytes.size());
    sendEncoded(bytes);
    if (slot >= 0) releaseEncodedSlot(slot);
    ++blocksSent_;
  }
  writer_->setBlock(index, desc);
}

void VolumeSender::sendEncoded(std::span<const char> bytes) {
  while (!bytes.empty()) {
    const auto n = std::uint32_t(std::min<std::size_t>(bytes.size(), kvn_network::kFileBlockSize));
    sender_.sendChunk(sent_, bytes.data(), n, false);
    sent_ += n;
    bytes = bytes.subspan(n);
  }
}
