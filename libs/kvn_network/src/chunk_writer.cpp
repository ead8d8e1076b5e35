#include "chunk_writer.h"

#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace kvn_network {

void writeFileChunk(QFile& file, std::uint64_t offset, const std::uint8_t* data,
                    std::uint32_t size) {
  if (kvn_log::enabled(kvn_log::Debug))
    KLOG_D("writeDataChunk to '%s': offset %llu, size %d", file.fileName().toUtf8().constData(),
           static_cast<unsigned long long>(offset), static_cast<int>(size));
  if (offset > static_cast<std::uint64_t>(INT64_MAX) || !file.seek(static_cast<qint64>(offset))) {
    KLOG_E("Seek failed in ReceiveFile");
    throw KvnQFileException(KVN_HERE, KVN_E_SERVER, "Unable to writed data chunk");
  }
  std::uint32_t done = 0;
  while (done < size) {
    const qint64 n = file.write(reinterpret_cast<const char*>(data) + done, size - done);
    if (n <= 0) {
      KLOG_E("Error writing: %s", file.errorString().toUtf8().constData());
      throw KvnQFileException(KVN_HERE, KVN_E_SERVER, "Unable to writed data chunk");
    }
    done += static_cast<std::uint32_t>(n);
  }
}

ChunkWriter::ChunkWriter(QFile& file) : file_(file), thread_([this] { run(); }) {}

ChunkWriter::~ChunkWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool ChunkWriter::write(NetPacket packet, std::uint64_t offset, const std::uint8_t* data,
                        std::uint32_t size) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return failed_ || queue_.size() < kQueueDepth; });
  if (failed_) return false;
  queue_.push_back({std::move(packet), offset, data, size});
  changed_.notify_all();
  return true;
}

bool ChunkWriter::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return failed_ || (queue_.empty() && !busy_); });
  return !failed_;
}

void ChunkWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
    if (queue_.empty() || failed_) {
      // Closing: what is left was queued before a failure or a stop.
      if (closing_) return;
      queue_.clear();
      continue;
    }
    Chunk chunk = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    bool ok = true;
    try {
      writeFileChunk(file_, chunk.offset, chunk.data, chunk.size);
    } catch (const KvnQFileException&) {
      ok = false;  // logged by writeFileChunk; the file keeps its error
    }
    lock.lock();
    busy_ = false;
    if (!ok) {
      failed_ = true;
      queue_.clear();
    }
    changed_.notify_all();
  }
}

}  // namespace kvn_network
