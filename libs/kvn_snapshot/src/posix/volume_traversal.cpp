#include "kvn_snapshot/volume_traversal.h"

#include <sys/stat.h>

#include <QFileInfo>
#include <chrono>
#include <thread>

#include "device_file.h"
#include "kvn_log/log.h"
#include "kvn_snapshot/disks.h"
#include "sysfs.h"
#include "traversal_info.h"

namespace kvn_snapshot {

namespace {

// Owns the reader thread: whichever way the caller leaves, the reader is
// told to stop and joined before the shared state goes.
class ReaderThread {
 public:
  explicit ReaderThread(VolumeTraversalInfo& info)
      : info_(info), thread_([&info] { readVolume(info); }) {}
  ~ReaderThread() {
    {
      std::lock_guard lock(info_.mutex);
      info_.stop = true;
    }
    info_.cond.notify_all();
    thread_.join();
  }
  ReaderThread(const ReaderThread&) = delete;
  ReaderThread& operator=(const ReaderThread&) = delete;

 private:
  VolumeTraversalInfo& info_;
  std::thread thread_;
};

// A plain callback: nothing to prepare.
class CallbackConsumer : public BlockConsumer {
 public:
  explicit CallbackConsumer(const BlockCallback& callback) : callback_(callback) {}
  void prepare(std::span<const VolumeBlock> /*batch*/) override {}
  void consume(const VolumeBlock& block) override {
    callback_(block.offset, block.data, block.length, *block.bitmap);
  }

 private:
  const BlockCallback& callback_;
};

}  // namespace

bool foreachBlockInVolume(const QString& path, const BlockCallback& callback, bool useBitmap,
                          TraversalStats* stats) {
  CallbackConsumer consumer(callback);
  return foreachBlockInVolume(path, consumer, useBitmap, stats);
}

bool foreachBlockInVolume(const QString& path, BlockConsumer& consumer, bool useBitmap,
                          TraversalStats* stats) {
  VolumeTraversalInfo info;
  info.path = path;
  info.fullRead = !useBitmap;
  info.consumer = &consumer;
  bool result = false;
  {
    ReaderThread reader(info);
    consumer.started();
    std::unique_lock lock(info.mutex);
    for (;;) {
      // The oldest batch, unless the reader is preparing it: then it is
      // about to be ready, and nothing else is to be done meanwhile.
      const auto takeable = [&info] {
        return !info.batches.empty() && info.batches.front().state != TraversalBatch::kPreparing;
      };
      info.cond.wait_for(lock, std::chrono::milliseconds(100),
                         [&] { return takeable() || info.error || info.done; });
      // What the reader published stays unconsumed only when it threw; a
      // read error ends the traversal after the blocks before it.
      if (info.error || (info.done && info.batches.empty())) {
        result = info.result;
        break;
      }
      if (!takeable()) continue;
      // The reader neither touches nor reuses these buffers until the batch
      // is removed, and waits for that before it ends.
      TraversalBatch& batch = info.batches.front();
      const bool prepared = batch.state == TraversalBatch::kPrepared;
      batch.state = TraversalBatch::kConsuming;
      lock.unlock();
      if (!prepared) consumer.prepare(batch.blocks);
      for (const VolumeBlock& block : batch.blocks) consumer.consume(block);
      lock.lock();
      info.batches.pop_front();
      info.cond.notify_all();
    }
  }
  if (stats != nullptr) *stats = info.stats;
  if (info.error) std::rethrow_exception(info.error);
  return result;
}

bool getVolumeSize(const QString& path, std::uint64_t* size) {
  int error = 0;
  if (!deviceSize(path, size, &error)) {
    KLOG_E("GetDiskFreeSpaceEx failed %08lx", static_cast<unsigned long>(error));
    return false;
  }
  return true;
}

bool getVolumeExtents(const QString& path, VolumeExtent* extent) {
  const QByteArray native = path.toUtf8();
  struct stat st {};
  if (::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
    *extent = VolumeExtent{-1, QFileInfo(path).absoluteFilePath(), 0,
                           static_cast<std::uint64_t>(st.st_size)};
    return true;
  }
  const QString folder = sysfs::deviceFolder(path);
  if (folder.isEmpty()) {
    KLOG_E("Failed to open volume as a file: %s", native.constData());
    return false;
  }
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;
  if (sysfs::isPartition(folder)) sysfs::number(folder, "start", &start);
  sysfs::number(folder, "size", &sectors);
  DiskInfo disk;
  if (!findDiskByName(QFileInfo(sysfs::diskFolder(folder)).fileName(), &disk)) {
    KLOG_E("IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS failed for '%s' (%lu)", native.constData(),
           static_cast<unsigned long>(ENODEV));
    return false;
  }
  *extent = VolumeExtent{disk.number, disk.devicePath, start * 512, sectors * 512};
  return true;
}

}  // namespace kvn_snapshot
