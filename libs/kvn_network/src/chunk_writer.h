// Writing received chunks into a file: directly, or on a thread of its
// own for a large transfer, so that the next chunk is received, decrypted
// and decompressed while the last one goes to the disk.
#pragma once

#include <QFile>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "kvn_network/netpacket.h"

namespace kvn_network {

// Writes size bytes at offset; a failure is logged and thrown as
// KvnQFileException, the file keeping its error.
void writeFileChunk(QFile& file, std::uint64_t offset, const std::uint8_t* data,
                    std::uint32_t size);

// Owned by one transfer. Nothing else may touch the file until finish()
// has returned; the destructor writes what is queued and joins.
class ChunkWriter {
 public:
  // Chunks held at most: enough to keep the disk busy, while a stalled
  // disk still holds back the receiver and with it the sender's credit.
  static constexpr std::size_t kQueueDepth = 4;

  explicit ChunkWriter(QFile& file);
  ~ChunkWriter();
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  // Queues the chunk that data points at inside packet (which keeps it
  // alive); waits while the queue is full. False once a write has failed:
  // nothing after it is written.
  bool write(NetPacket packet, std::uint64_t offset, const std::uint8_t* data, std::uint32_t size);
  // Waits until everything queued is written; false when a write failed.
  bool finish();

 private:
  struct Chunk {
    NetPacket packet;
    std::uint64_t offset;
    const std::uint8_t* data;
    std::uint32_t size;
  };

  void run();

  QFile& file_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> queue_;
  bool busy_ = false;
  bool closing_ = false;
  bool failed_ = false;
  std::thread thread_;
};

}  // namespace kvn_network
