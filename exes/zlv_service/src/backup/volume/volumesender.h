// Reads one snapshotted volume block by block, writes its hashmap and
// streams the used chunks of every changed block to the box. Each sent
// block is compressed and encrypted on its own, so that the box can decode
// it from its descriptor alone.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "backup/volume/blockencoder.h"
#include "backup/volume/volumeinfo.h"
#include "kvn_formats/volume_image/block_fingerprints.h"
#include "kvn_formats/volume_image/generic_bitmap.h"
#include "kvn_formats/volume_image/hashmap_records.h"
#include "kvn_snapshot/volume_traversal.h"

namespace kvn_network {
class FileSender;
}
namespace kvn_crypto {
class AesContext;
}  // namespace kvn_crypto
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
  // The parent's fingerprints when they can be trusted, and the new set.
  void openFingerprints(const kvn_formats::volume_image::Uuid& imageId, std::uint64_t blocks);
  int batchSize() const override { return imageTraversalBatch(); }
  // The disk's partition tables and the hardware description, while the
  // reader starts.
  void started() override;
  // The block's fingerprint and chunk map while its bytes are in the
  // caches, and the parent's digest when the block has the parent's
  // fingerprint and chunk map; in a delta a block unlike its parent's is
  // also encoded ahead there. Kept per traversal buffer until the block is
  // consumed.
  void blockRead(const kvn_snapshot::VolumeBlock& block) override;
  // The digests of the blocks of a batch that did not take the parent's, on
  // whichever thread has time (see BlockConsumer), and whether each differs
  // from the parent. On the reader's thread it also encodes changed blocks
  // ahead, up to kEncodedAhead at a time, so that the caller's thread does
  // not encode them all alone.
  void prepare(std::span<const kvn_snapshot::VolumeBlock> batch) override;
  void consume(const kvn_snapshot::VolumeBlock& block) override;
  // Whether the block differs from the parent's (always without a parent).
  bool changed(std::uint64_t index, const kvn_formats::volume_image::HashmapBlockDesc& desc);
  // Takes the parent's digest into desc (which holds the block's chunk map)
  // when the block has the parent's fingerprint and chunk map.
  bool reuseParentDigest(std::uint64_t index,
                         const kvn_formats::volume_image::BlockFingerprint& print,
                         kvn_formats::volume_image::HashmapBlockDesc& desc);
  // Encodes a changed block into a free slot of encoded_, if there is one,
  // with an encoder no other thread is using.
  void encodeAhead(const kvn_snapshot::VolumeBlock& block,
                   const kvn_formats::volume_image::HashmapBlockDesc& desc);
  std::unique_ptr<BlockEncoder> takeEncoder();
  void giveEncoder(std::unique_ptr<BlockEncoder> encoder);
  // A free slot for encoded bytes, or -1.
  int takeEncodedSlot();
  void releaseEncodedSlot(int slot);
  void sendEncoded(std::span<const char> bytes);

  static constexpr int kEncodedAhead = 8;

  const VolumeTransfer& transfer_;
  kvn_network::FileSender& sender_;
  const std::atomic<bool>* stop_;
  bool withParent_;
  std::uint32_t flags_ = 0;
  kvn_snapshot::VolumeExtent extent_;

  const kvn_crypto::AesContext* dataCipher_ = nullptr;
  // encoder_ on the caller's thread; the reading threads take theirs from
  // spareEncoders_ (under slotsMutex_) and give them back.
  std::unique_ptr<BlockEncoder> encoder_;
  std::vector<std::unique_ptr<BlockEncoder>> spareEncoders_;
  std::thread::id caller_;
  // The bytes of the data stream sent so far: where the next block goes.
  std::uint64_t sent_ = 0;

  std::unique_ptr<kvn_formats::volume_image::HashmapWriter> writer_;
  std::unique_ptr<kvn_formats::volume_image::HashmapReader> parent_;
  // parent_ is read on both threads.
  std::mutex parentMutex_;
  std::optional<kvn_formats::volume_image::BlockFingerprints> parentPrints_;
  std::optional<kvn_formats::volume_image::BlockFingerprints> prints_;
  kvn_formats::volume_image::HashmapBlockDesc prepared_[kvn_snapshot::kTraversalBuffers];
  bool changed_[kvn_snapshot::kTraversalBuffers] = {};
  // Which slot of encoded_ holds the block's bytes, -1 when the caller's
  // thread encodes it.
  int encodedSlot_[kvn_snapshot::kTraversalBuffers] = {};
  std::mutex slotsMutex_;
  std::vector<int> freeSlots_;
  std::vector<char> encoded_[kEncodedAhead];
  kvn_snapshot::TraversalStats stats_;
  std::uint64_t blocksSent_ = 0;
};
