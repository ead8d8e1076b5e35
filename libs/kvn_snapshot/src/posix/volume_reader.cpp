// The reader thread of a volume traversal.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

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
      : info_(info), path_(info.path.toUtf8()), buffers_{makeBuffer(), makeBuffer()} {}

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
  static std::unique_ptr<std::uint8_t[]> makeBuffer() {
    return std::make_unique<std::uint8_t[]>(kVolumeBlockSize);
  }

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
    int current = 0;
    for (std::uint64_t offset = 0; offset < size; offset += kVolumeBlockSize) {
      const std::uint64_t length = std::min(kVolumeBlockSize, size - offset);
      if (!bitmap.anySet(offset, length)) {
        ++info_.stats.blocksSkipped;
        previousSkipped = true;
        continue;
      }
      if (previousSkipped && !seek(offset)) return false;
      previousSkipped = false;
      if (!readBlock(offset, length, buffers_[current].get())) return false;
      if (!publish({offset, buffers_[current].get(), length, &bitmap, current, false})) {
        return false;
      }
      current = 1 - current;
    }
    // The last block must have been handled before the bitmap goes away.
    std::unique_lock lock(info_.mutex);
    while (info_.blockReady && !info_.stop) info_.cond.wait_for(lock, kWaitStep);
    return !info_.stop;
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

  bool publish(VolumeBlock block) {
    std::unique_lock lock(info_.mutex);
    if (info_.blockReady && !info_.stop) {
      // The consumer is still busy: do its preparation here rather than
      // wait. The block's buffer is not shared yet, so no lock is needed.
      lock.unlock();
      info_.consumer->prepare(block);
      block.prepared = true;
      lock.lock();
    }
    while (info_.blockReady && !info_.stop) info_.cond.wait_for(lock, kWaitStep);
    if (info_.stop) return false;
    info_.block = block;
    info_.blockReady = true;
    lock.unlock();
    info_.cond.notify_all();
    return true;
  }

  VolumeTraversalInfo& info_;
  const QByteArray path_;
  DeviceFile device_;
  std::unique_ptr<std::uint8_t[]> buffers_[2];
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
