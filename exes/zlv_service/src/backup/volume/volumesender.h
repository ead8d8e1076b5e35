// Reads one snapshotted volume block by block, writes its hashmap and
// streams the used chunks of every changed block to the box. Each sent
// block is compressed and encrypted on its own, so that the box can decode
// it from its descriptor alone.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "backup/volume/volumeinfo.h"
#include "kvn_common/buffer_sink.h"
#include "kvn_common/pipes.h"
#include "kvn_common/stream.h"
#include "kvn_formats/volume_image/generic_bitmap.h"
#include "kvn_formats/volume_image/hashmap_records.h"
#include "kvn_snapshot/volume_traversal.h"

namespace kvn_network {
class FileSender;
}
namespace kvn_crypto {
class AesContext;
class EncryptStream;
}  // namespace kvn_crypto
namespace kvn_compression {
class Lz4CompressStream;
}
namespace kvn_formats::volume_image {
class HashmapReader;
class HashmapWriter;
}  // namespace kvn_formats::volume_image

inline constexpr std::uint32_t kImageBlockSize = 0x200000;
inline constexpr std::uint32_t kImageChunkSize = 4096;

// The bytes of the volume as its device or image file gives them; the
// original size from the volume list when that fails ("getVolumeSize
// error, using OriginalSize").
std::uint64_t imageSizeOf(const VolumeTransfer& transfer);

// Blocks per traversal batch: as many as the digest hashes side by side.
int imageTraversalBatch();

class VolumeSender : private kvn_snapshot::BlockConsumer {
 public:
  // cipher: the session's, when the job encrypts; null otherwise. The
  // sender writes the hashmap to transfer.partPath(); with a parent it reads
  // transfer.previousHashmapPath.
  VolumeSender(const VolumeTransfer& transfer, kvn_network::FileSender& sender,
               kvn_crypto::AesContext* cipher, const std::atomic<bool>* stop, bool withParent);
  ~VolumeSender() override;
  VolumeSender(const VolumeSender&) = delete;
  VolumeSender& operator=(const VolumeSender&) = delete;

  // True when every block was handled, the transfer finished and the
  // hashmap closed; false (logged) otherwise. A stop throws
  // KvnCommonException KVN_E_STOPPED ("Stopped by user").
  bool run();

  const kvn_snapshot::TraversalStats& stats() const { return stats_; }
  std::uint64_t blocksSent() const { return blocksSent_; }

 private:
  bool openHashmaps(std::uint64_t volumeSize, const kvn_snapshot::VolumeExtent& extent);
  int batchSize() const override { return imageTraversalBatch(); }
  // The disk's partition tables and the hardware description, while the
  // reader starts.
  void started() override;
  // The digests and chunk maps of a batch, on whichever thread has time
  // (see BlockConsumer); kept per traversal buffer until the block is
  // consumed.
  void prepare(std::span<const kvn_snapshot::VolumeBlock> batch) override;
  void consume(const kvn_snapshot::VolumeBlock& block) override;
  void sendEncoded(std::uint64_t position);

  const VolumeTransfer& transfer_;
  kvn_network::FileSender& sender_;
  const std::atomic<bool>* stop_;
  bool withParent_;
  std::uint32_t flags_ = 0;
  kvn_snapshot::VolumeExtent extent_;

  kvn_common::CountPipe input_;
  std::unique_ptr<kvn_compression::Lz4CompressStream> lz4_;
  std::unique_ptr<kvn_crypto::EncryptStream> encrypt_;
  kvn_common::CountPipe position_;
  // One block's encoded bytes, sent from where they lie.
  kvn_common::FlatBufferSink buffer_;
  kvn_common::StreamChain chain_;

  std::unique_ptr<kvn_formats::volume_image::HashmapWriter> writer_;
  std::unique_ptr<kvn_formats::volume_image::HashmapReader> parent_;
  kvn_formats::volume_image::HashmapBlockDesc prepared_[kvn_snapshot::kTraversalBuffers];
  kvn_snapshot::TraversalStats stats_;
  std::uint64_t blocksSent_ = 0;
};
