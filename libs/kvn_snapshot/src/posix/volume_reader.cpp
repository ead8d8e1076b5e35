// The reader thread of a volume traversal.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "batch_reader.h"
#include "block_buffers.h"
#include "device_file.h"
#include "kvn_log/log.h"
#include "kvn_snapshot/volume_bitmap.h"
#include "traversal_info.h"

namespace kvn_snapshot {

namespace {

constexpr int kOpenAttempts = 5;
constexpr auto kWaitStep = std::chrono::milliseconds(100);

class VolumeReader {
 public:
  explicit VolumeReader(VolumeTraversalInfo& info)
      : info_(info),
        path_(info.path.toUtf8()),
        batchSize_(std::clamp(info.consumer->batchSize(), 1, kMaxTraversalBatch)) {}

  bool run() {
    int error = 0;
    if (!device_.open(info_.path, kOpenAttempts, &error)) {
      KLOG_F("Failed to open volume as a file");
      return false;
    }
    // Reads are sequential apart from the skips: a larger read-ahead.
    ::posix_fadvise(device_.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    batchReader_.emplace(device_.fd());
    std::uint64_t size = 0;
    if (!getVolumeSize(info_.path, &size)) return false;
    info_.stats.volumeSize = size;
    KLOG_D("Volume size: %llu", static_cast<unsigned long long>(size));
    if (size % 512 != 0) {
      KLOG_W("Disk size not aligned! %lld %lld", static_cast<long long>(size / 512),
             static_cast<long long>(size % 512));
    }
    bitmap_ = readVolumeBitmap(info_.path, size, !info_.fullRead);
    logGeometry(size, bitmap_.clusterSize);
    return traverse(size, bitmap_.bitmap);
  }

  // Until the caller's thread is done with the batches, their buffers and
  // the bitmap must stay: on every way out, the end, a read error or an
  // exception. After an exception the caller takes no further batch.
  // Meanwhile the reader prepares what is left to prepare.
  void waitForConsumer() {
    std::unique_lock lock(info_.mutex);
    const auto busy = [this] {
      for (const TraversalBatch& batch : info_.batches) {
        if (batch.state == TraversalBatch::kConsuming) return true;
      }
      return !info_.error && !info_.batches.empty();
    };
    while (!info_.stop && busy()) {
      try {
        if (!info_.error && prepareNewest(lock)) continue;
      } catch (...) {
        info_.error = std::current_exception();
        info_.cond.notify_all();
      }
      info_.cond.wait_for(lock, kWaitStep);
    }
  }

 private:
  void logGeometry(std::uint64_t size, std::uint64_t clusterSize) const {
    KLOG_D("Bytes per cluster: %d", static_cast<int>(clusterSize));
    if (size % clusterSize != 0) {
      KLOG_W("Not a round number of clusters! %lld", static_cast<long long>(size % clusterSize));
    }
    KLOG_D("Cluster count for '%s': %lld", path_.constData(),
           static_cast<long long>(size / clusterSize));
  }

  bool traverse(std::uint64_t size, const kvn_formats::volume_image::GenericBitmap& bitmap) {
    bool previousSkipped = false;
    TraversalBatch batch;
    std::vector<BlockRead> reads;
    for (std::uint64_t offset = 0; offset < size; offset += kVolumeBlockSize) {
      const std::uint64_t length = std::min(kVolumeBlockSize, size - offset);
      if (!bitmap.anySet(offset, length)) {
        ++info_.stats.blocksSkipped;
        previousSkipped = true;
        continue;
      }
      // A read that jumps over the skipped blocks.
      if (previousSkipped) ++info_.stats.seeks;
      previousSkipped = false;
      if (batch.blocks.empty() && (batch.slot = takeSlot()) < 0) return false;
      const int current = batch.slot * batchSize_ + static_cast<int>(batch.blocks.size());
      batch.blocks.push_back({offset, buffers_[current], length, &bitmap, current});
      reads.push_back({offset, length, buffers_[current]});
      if (batch.blocks.size() < std::size_t(batchSize_)) continue;
      if (!readBatch(batch, reads) || !publish(batch)) return false;
      batch.blocks.clear();
      reads.clear();
    }
    return batch.blocks.empty() || (readBatch(batch, reads) && publish(batch));
  }

  // A slot of buffers no published batch holds, or -1 on a stop. While
  // every slot is taken, the reader prepares batches, else waits.
  int takeSlot() {
    std::unique_lock lock(info_.mutex);
    for (;;) {
      if (info_.stop) return -1;
      if (info_.batches.size() < std::size_t(kTraversalSlots)) return freeSlot();
      if (!prepareNewest(lock)) info_.cond.wait_for(lock, kWaitStep);
    }
  }

  // Prepares the newest batch not prepared yet (the caller's thread takes
  // the oldest), with lock released meanwhile; false when there is none.
  bool prepareNewest(std::unique_lock<std::mutex>& lock) {
    TraversalBatch* newest = nullptr;
    for (TraversalBatch& batch : info_.batches) {
      if (batch.state == TraversalBatch::kRead) newest = &batch;
    }
    if (newest == nullptr) return false;
    // The caller's thread leaves a batch alone while it is being prepared;
    // after a throw it takes no batch at all.
    newest->state = TraversalBatch::kPreparing;
    lock.unlock();
    try {
      info_.consumer->prepare(newest->blocks);
    } catch (...) {
      lock.lock();
      throw;
    }
    lock.lock();
    newest->state = TraversalBatch::kPrepared;
    info_.cond.notify_all();
    return true;
  }

  int freeSlot() const {
    for (int slot = 0;; ++slot) {
      bool taken = false;
      for (const TraversalBatch& batch : info_.batches) taken = taken || batch.slot == slot;
      if (!taken) return slot;
    }
  }

  // The blocks are read on two threads; the first that fails, in volume
  // order, ends the traversal after the blocks before it.
  bool readBatch(const TraversalBatch& batch, std::vector<BlockRead>& reads) {
    const BatchReader::AfterRead afterRead = [&](std::size_t index) {
      info_.consumer->blockRead(batch.blocks[index]);
    };
    batchReader_->read(reads, afterRead);
    for (const BlockRead& read : reads) {
      info_.stats.bytesRead += read.got;
      if (read.complete()) {
        ++info_.stats.blocksRead;
        continue;
      }
      if (read.error == 0) {
        KLOG_E("Chunk read incomplete (%u/%llu)", static_cast<unsigned>(read.got),
               static_cast<unsigned long long>(read.length));
      }
      KLOG_E("block read failed from '%s', offset %llu of size %llu (%lu)", path_.constData(),
             static_cast<unsigned long long>(read.offset),
             static_cast<unsigned long long>(read.length), static_cast<unsigned long>(read.error));
      return false;
    }
    return true;
  }

  bool publish(const TraversalBatch& batch) {
    {
      std::lock_guard lock(info_.mutex);
      if (info_.stop) return false;
      info_.batches.push_back(batch);
    }
    info_.cond.notify_all();
    return true;
  }

  VolumeTraversalInfo& info_;
  const QByteArray path_;
  const int batchSize_;
  DeviceFile device_;
  std::optional<BatchReader> batchReader_;  // reads from device_
  BlockBuffers buffers_;
  VolumeBitmap bitmap_;  // the blocks handed out point at it
};

}  // namespace

namespace {

void fail(VolumeTraversalInfo& info) {
  {
    std::lock_guard lock(info.mutex);
    if (!info.error) info.error = std::current_exception();
  }
  info.cond.notify_all();
}

}  // namespace

void readVolume(VolumeTraversalInfo& info) {
  bool result = false;
  try {
    VolumeReader reader(info);
    try {
      result = reader.run();
    } catch (...) {
      fail(info);
    }
    reader.waitForConsumer();
  } catch (...) {
    fail(info);
  }
  {
    std::lock_guard lock(info.mutex);
    info.result = result;
    info.done = true;
  }
  info.cond.notify_all();
}

}  // namespace kvn_snapshot
