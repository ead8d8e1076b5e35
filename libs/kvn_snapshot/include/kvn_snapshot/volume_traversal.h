// Reads a volume (a block device or an image file) from start to end in
// blocks of 2 MiB, skipping the blocks in which the file system uses no
// cluster, and hands every block that was read to a callback. A reader
// thread fills batches of buffers while the callback works on an earlier
// one.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <span>

#include "kvn_formats/volume_image/generic_bitmap.h"

namespace kvn_snapshot {

inline constexpr std::uint64_t kVolumeBlockSize = 0x200000;
// Blocks are read ahead and prepared in batches, so that their digests fill
// the vector lanes: a consumer says how many blocks its batches hold, up to
// kMaxTraversalBatch (kTraversalBatch unless it says otherwise). Up to three
// batches are in memory at a time (96 MiB, or 192 MiB with the largest
// batches): one consumed, and two that the reader reads or prepares
// meanwhile.
inline constexpr int kTraversalBatch = 16;
inline constexpr int kMaxTraversalBatch = 32;
inline constexpr int kTraversalSlots = 3;
inline constexpr int kTraversalBuffers = kTraversalSlots * kMaxTraversalBatch;

// Called on the caller's thread for every block that was read: offset is a
// multiple of 2 MiB, length is 2 MiB except for the last block of the
// volume, data holds exactly length bytes of the volume. Whatever the
// callback throws stops the reader, closes the volume and comes out of
// foreachBlockInVolume.
using BlockCallback =
    std::function<void(std::uint64_t offset, const std::uint8_t* data, std::uint64_t length,
                       const kvn_formats::volume_image::GenericBitmap& bitmap)>;

// One block handed out by a traversal.
struct VolumeBlock {
  std::uint64_t offset = 0;
  const std::uint8_t* data = nullptr;
  std::uint64_t length = 0;
  const kvn_formats::volume_image::GenericBitmap* bitmap = nullptr;
  // Which of the traversal's buffers holds the block (0 to
  // kTraversalBuffers - 1): state a consumer keeps per block in flight can
  // be kept per buffer.
  int buffer = 0;
};

// A consumer whose per-block work can be shared between the two threads.
// Blocks come in batches of up to batchSize(). The reader reads ahead
// while it has free buffers; when it has none, it runs prepare() on the
// newest batch not yet prepared instead of waiting idle. The caller's thread
// runs prepare() on the oldest batch when the reader has not, before the
// batch's first consume(). So a consumer whose prepare() is the larger part
// of its work (digests) keeps both cores busy, whether its consume() is
// light (a delta) or heavy (a full image), and can do that work for a whole
// batch at once.
class BlockConsumer {
 public:
  virtual ~BlockConsumer() = default;
  // Blocks per batch, 1 to kMaxTraversalBatch; asked once per traversal,
  // on the reader's thread.
  virtual int batchSize() const { return kTraversalBatch; }
  // On the caller's thread once the reader has started, before any
  // consume(): work that overlaps the reader opening the volume, reading its
  // bitmap and its first batches (the reader may run prepare() meanwhile).
  // Whatever it throws ends the traversal like consume().
  virtual void started() {}
  // For every block right after it was read, on the thread that read it
  // (two read each batch), while its bytes are still in that processor's
  // caches: for a quick pass over them. Blocks of a batch may come in any
  // order and at once. Whatever it throws ends the traversal like
  // consume().
  virtual void blockRead(const VolumeBlock& /*block*/) {}
  // Once per batch, before consume() of its blocks, on either thread.
  // Whatever it throws ends the traversal like consume().
  virtual void prepare(std::span<const VolumeBlock> batch) = 0;
  // On the caller's thread, for every block in order.
  virtual void consume(const VolumeBlock& block) = 0;
};

// What one traversal did, for the proof that unused space is never read.
struct TraversalStats {
  std::uint64_t volumeSize = 0;
  std::uint64_t bytesRead = 0;
  std::uint64_t blocksRead = 0;
  std::uint64_t blocksSkipped = 0;
  // Reads that jump over skipped blocks.
  std::uint64_t seeks = 0;
};

// False when the volume cannot be opened, sized or read (each logged);
// true after the last block. With useBitmap false every block is read.
bool foreachBlockInVolume(const QString& path, const BlockCallback& callback, bool useBitmap,
                          TraversalStats* stats = nullptr);
bool foreachBlockInVolume(const QString& path, BlockConsumer& consumer, bool useBitmap,
                          TraversalStats* stats = nullptr);

// The byte size of the volume's device or image file. Logs "GetDiskFreeSpaceEx
// failed %08lx" (with errno) on failure.
bool getVolumeSize(const QString& path, std::uint64_t* size);

// The single disk extent of a volume.
struct VolumeExtent {
  // Number of the disk in listDisks() order; -1 for an image file, which is
  // its own disk.
  std::int32_t diskNumber = -1;
  QString diskPath;  // the disk's device node, or the image file
  std::uint64_t startingOffset = 0;
  std::uint64_t extentLength = 0;
};

// A partition: its parent disk and its start and size from sysfs. A whole
// disk device or an image file: one extent of its whole size. Logs "Failed
// to open volume as a file: %s" when path is neither.
bool getVolumeExtents(const QString& path, VolumeExtent* extent);

}  // namespace kvn_snapshot
