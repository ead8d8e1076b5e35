// The reader thread of a volume traversal.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

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
  explicit VolumeReader(VolumeTraversalInfo& info) : info_(info), path_(info.path.toUtf8()) {}

  bool run() {
    int error = 0;
    if (!device_.open(info_.path, kOpenAttempts, &error)) {
      KLOG_F("Failed to open volume as a file");
      return false;
    }
    // Reads are sequential apart from the skips: a larger read-ahead.
    ::posix_fadvise(device_.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    std::uint64_t size = 0;
    if (!getVolumeSize(info_.path, &size)) return false;
    info_.stats.volumeSize = size;
    KLOG_D("Volume size: %llu", static_cast<unsigned long long>(size));
    if (size % 512 != 0) {
      KLOG_W("Disk size not aligned! %lld %lld", static_cast<long long>(size / 512),
             static_cast<long long>(size % 512));
    }
    const VolumeBitmap bitmap = readVolumeBitmap(info_.path, size, !info_.fullRead);
    logGeometry(size, bitmap.clusterSize);
    return traverse(size, bitmap.bitmap);
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

  // Until the caller's thread is done with the published batch, its buffers
  // and the bitmap must stay: on every way out of traverse(), the end, a
  // read error or an exception from prepare().
  class ConsumerWait {
   public:
    explicit ConsumerWait(VolumeTraversalInfo& info) : info_(info) {}
    ~ConsumerWait() {
      std::unique_lock lock(info_.mutex);
      while (info_.batchReady && !info_.stop) info_.cond.wait_for(lock, kWaitStep);
    }
    ConsumerWait(const ConsumerWait&) = delete;
    ConsumerWait& operator=(const ConsumerWait&) = delete;

   private:
    VolumeTraversalInfo& info_;
  };

  bool traverse(std::uint64_t size, const kvn_formats::volume_image::GenericBitmap& bitmap) {
    const ConsumerWait wait(info_);
    bool previousSkipped = false;
    int first = 0;  // the first buffer of the batch being read
    std::vector<VolumeBlock> batch;
    for (std::uint64_t offset = 0; offset < size; offset += kVolumeBlockSize) {
      const std::uint64_t length = std::min(kVolumeBlockSize, size - offset);
      if (!bitmap.anySet(offset, length)) {
        ++info_.stats.blocksSkipped;
        previousSkipped = true;
        continue;
      }
      if (previousSkipped && !seek(offset)) return false;
      previousSkipped = false;
      const int current = first + static_cast<int>(batch.size());
      if (!readBlock(offset, length, buffers_[current])) return false;
      batch.push_back({offset, buffers_[current], length, &bitmap, current});
      if (batch.size() < std::size_t(kTraversalBatch)) continue;
      if (!publish(batch)) return false;
      batch.clear();
      first = kTraversalBatch - first;
    }
    if (!batch.empty() && !publish(batch)) return false;
    return true;
  }

  bool seek(std::uint64_t offset) {
    ++info_.stats.seeks;
    if (::lseek(device_.fd(), static_cast<off_t>(offset), SEEK_SET) < 0) {
      KLOG_E("Seek error on '%s' to offset %llu (%lu)", path_.constData(),
             static_cast<unsigned long long>(offset), static_cast<unsigned long>(errno));
      return false;
    }
    return true;
  }

  bool readBlock(std::uint64_t offset, std::uint64_t length, std::uint8_t* buffer) {
    std::uint64_t got = 0;
    int error = 0;
    while (got < length) {
      const ssize_t n = ::read(device_.fd(), buffer + got, length - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = n < 0 ? errno : 0;
        break;
      }
      got += static_cast<std::uint64_t>(n);
    }
    info_.stats.bytesRead += got;
    if (got == length) {
      ++info_.stats.blocksRead;
      return true;
    }
    if (error == 0) {
      KLOG_E("Chunk read incomplete (%u/%llu)", static_cast<unsigned>(got),
             static_cast<unsigned long long>(length));
    }
    KLOG_E("block read failed from '%s', offset %llu of size %llu (%lu)", path_.constData(),
           static_cast<unsigned long long>(offset), static_cast<unsigned long long>(length),
           static_cast<unsigned long>(error));
    return false;
  }

  bool publish(const std::vector<VolumeBlock>& batch) {
    std::unique_lock lock(info_.mutex);
    bool prepared = false;
    if (info_.batchReady && !info_.stop) {
      // The consumer is still busy: do its preparation here rather than
      // wait. The batch's buffers are not shared yet, so no lock is needed.
      lock.unlock();
      info_.consumer->prepare(batch);
      prepared = true;
      lock.lock();
    }
    while (info_.batchReady && !info_.stop) info_.cond.wait_for(lock, kWaitStep);
    if (info_.stop) return false;
    info_.batch = batch;
    info_.batchPrepared = prepared;
    info_.batchReady = true;
    lock.unlock();
    info_.cond.notify_all();
    return true;
  }

  VolumeTraversalInfo& info_;
  const QByteArray path_;
  DeviceFile device_;
  BlockBuffers buffers_;
};

}  // namespace

void readVolume(VolumeTraversalInfo& info) {
  bool result = false;
  try {
    result = VolumeReader(info).run();
  } catch (...) {
    std::lock_guard lock(info.mutex);
    info.error = std::current_exception();
  }
  {
    std::lock_guard lock(info.mutex);
    info.result = result;
    info.done = true;
  }
  info.cond.notify_all();
}

}  // namespace kvn_snapshot
