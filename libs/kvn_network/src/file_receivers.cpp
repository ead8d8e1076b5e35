#include <cstdio>
#include <optional>

#include "chunk_writer.h"
#include "kvn_log/log.h"
#include "kvn_network/file_transfer.h"
#include "net_error.h"

namespace kvn_network {

namespace {

// Transfers announced at least this large are written on a thread of
// their own.
constexpr std::uint64_t kThreadedWriteMinimum = 8ull << 20;

// The file header and chunk of one data or end packet.
struct FileChunk {
  std::uint32_t fileId = 0;
  std::uint32_t chunk = 0;
  std::uint64_t offset = 0;
  std::uint64_t total = 0;
  std::uint32_t size = 0;
  const std::uint8_t* data = nullptr;

  // Reads in place: data points into the packet.
  static FileChunk read(NetPacket& packet) {
    FileChunk c;
    c.fileId = packet.getUInt32();
    packet.getStdString();
    c.chunk = packet.getUInt32();
    c.offset = packet.getUInt64();
    c.total = packet.getUInt64();
    c.size = packet.getUInt32();
    c.data = packet.getDataPointer(c.size);
    return c;
  }
};

// A chunk's header and data, or false once the failure is logged.
bool readLogged(NetPacket& packet, FileChunk& chunk) {
  try {
    chunk = FileChunk::read(packet);
    return true;
  } catch (const KvnCommonException& e) {
    KLOG_E("Error: getting data from packet: %s", e.what());
    return false;
  }
}

// The result of a transfer that has ended. A file cut short would
// otherwise keep the announced size, its missing part filled with zeros.
std::uint32_t endOfTransfer(std::uint64_t announced, std::uint64_t received) {
  if (announced != 0 && received != announced) {
    KLOG_E("Error: received %llu of %llu bytes", static_cast<unsigned long long>(received),
           static_cast<unsigned long long>(announced));
    return KVN_E_NETWORK;
  }
  return KVN_OK;
}

// Counts the bytes received since the last acknowledgement and grants new
// credit each time a window's worth has arrived, except after the packet
// that ends the transfer.
class CreditGrant {
 public:
  explicit CreditGrant(PacketChannel& channel) : channel_(channel) {}

  // False (logged) when the acknowledgement cannot be sent.
  bool add(const FileChunk& chunk, bool last) {
    sum_ += chunk.size;
    if (sum_ < kCreditWindow || last) return true;
    if (!sendTransferControl(channel_, chunk.fileId, false)) {
      KLOG_E("Error: Sending file packet");
      return false;
    }
    sum_ = 0;
    return true;
  }

 private:
  PacketChannel& channel_;
  std::int64_t sum_ = 0;
};

}  // namespace

bool sendTransferControl(PacketChannel& channel, std::uint32_t fileId, bool refusal) {
  NetPacket packet(kTransferControlType);
  packet.setControl();
  packet.setEnd();
  if (refusal) packet.setError();
  packet.putUInt32(fileId);
  packet.putUInt64(refusal ? 0 : static_cast<std::uint64_t>(kCreditWindow));
  return channel.SendPacket(packet, false, false);
}

std::uint32_t refuseTransfer(PacketChannel& channel, std::uint32_t fileId) {
  if (!sendTransferControl(channel, fileId, true)) {
    KLOG_E("Error: Sending file packet");
    return KVN_E_NETWORK;
  }
  try {
    for (;;) {
      NetPacket packet = channel.receiveFilePacket();
      if (!packet.isFile() || packet.isError() || packet.isEnd()) return KVN_OK;
    }
  } catch (const KvnCommonException& e) {
    KLOG_E("Cannot receive packet: %s", e.what());
    return e.code;
  }
}

void NetClientReceiveFileSource::receive() {
  std::int64_t credit = kCreditWindow;
  std::uint64_t expected = 0;
  for (;;) {
    NetPacket packet = channel_.receiveFilePacket();
    if (packet.isError())
      throw KvnCommonException(KVN_HERE, KVN_E_NETWORK,
                               "NetClientReceiveFileSource: Received error packet");
    if (!packet.isFile())
      throw KvnCommonException(KVN_HERE, KVN_E_NETWORK,
                               "NetClientReceiveFileSource: Received non file packet");
    FileChunk c;
    try {
      c = FileChunk::read(packet);
    } catch (const KvnCommonException&) {
      throw KvnCommonException(KVN_HERE, KVN_E_NETWORK,
                               "NetClientReceiveFileSource: Error getting data from packet");
    }
    if (c.fileId != fileId_)
      KVN_NET_THROW(KVN_E_NETWORK,
                    "NetClientReceiveFileSource: FileId mismatch local %u - remote %u", fileId_,
                    c.fileId);
    if (c.offset != expected)
      KVN_NET_THROW(
          KVN_E_NETWORK, "NetClientReceiveFileSource: Chunk sequence break at %llu - received %llu",
          static_cast<unsigned long long>(expected), static_cast<unsigned long long>(c.offset));
    // Credit first: the sender prepares its next chunk while this one is
    // decoded and written.
    credit -= c.size;
    if (credit <= 0 && !packet.isEnd()) {
      if (!sendTransferControl(channel_, c.fileId, false))
        throw KvnCommonException(KVN_HERE, KVN_E_NETWORK,
                                 "NetClientReceiveFileSource: SendPacket for control packet error");
      credit = kCreditWindow;
    }
    if (c.size != 0) link_.write(reinterpret_cast<const char*>(c.data), c.size);
    expected += c.size;
    if (packet.isEnd()) {
      link_.end();
      return;
    }
  }
}

NetClientReceiveFileSource::NetClientReceiveFileSource(kvn_common::StreamSink& link,
                                                       PacketChannel& channel, std::uint32_t fileId)
    : link_(link), channel_(channel), fileId_(fileId) {}

std::uint32_t FileReceiver::receiveData(QFile& file) {
  if (!file.isOpen()) {
    KLOG_E("Error initial parameters");
    return KVN_E_ARGUMENTS;
  }
  CreditGrant grant(channel_);
  bool first = true;
  std::uint64_t announced = 0;
  std::uint64_t received = 0;
  // Joined on every way out, before the caller touches the file again.
  std::optional<ChunkWriter> writer;
  const auto writeFailed = [&](std::uint32_t fileId) {
    refuseTransfer(channel_, fileId);
    return KvnQFileException(KVN_HERE, KVN_E_SERVER, "Unable to writed data chunk");
  };
  for (;;) {
    if (stop_) {
      KLOG_W("Stopped by User");
      return KVN_E_STOPPED;
    }
    NetPacket packet = channel_.receiveFilePacket();
    if (!packet.isFile()) {
      KLOG_E("Error: this packet isnt file part");
      return KVN_E_NETWORK;
    }
    if (packet.isError()) {
      KLOG_E("Error packet received");
      return KVN_E_INVALID_REPLY;
    }
    FileChunk c;
    if (!readLogged(packet, c)) return KVN_E_NETWORK;
    KLOG_D("Received file packet: type %d, offset %llu, chunk size %d, file size %llu",
           static_cast<int>(c.fileId), static_cast<unsigned long long>(c.offset),
           static_cast<int>(c.size), static_cast<unsigned long long>(c.total));
    const bool last = packet.isEnd();
    if (c.total != 0 || c.size != 0) {
      if (first && c.total != 0 &&
          (c.total > static_cast<std::uint64_t>(INT64_MAX) ||
           !file.resize(static_cast<qint64>(c.total)))) {
        KLOG_E("Error: Generating file to receive");
        refuseTransfer(channel_, c.fileId);
        throw KvnQFileException(KVN_HERE, KVN_E_SERVER, "Cannot generate file to receive");
      }
      if (first) {
        announced = c.total;
        // A thread of its own pays off only over many chunks.
        if (announced >= kThreadedWriteMinimum) writer.emplace(file);
      }
      first = false;
      received += c.size;
      // The credit goes out before the chunk is written: the sender
      // prepares its next chunk while this one reaches the file. The chunk
      // is in memory already, so the window still bounds what is in flight.
      if (!grant.add(c, last)) {
        KLOG_E("receiveData: confirmReceivedData error %d", static_cast<int>(KVN_E_NETWORK));
        return KVN_E_NETWORK;
      }
      if (c.size != 0 && writer) {
        if (!writer->write(std::move(packet), c.offset, c.data, c.size))
          throw writeFailed(c.fileId);
      } else if (c.size != 0) {
        try {
          writeFileChunk(file, c.offset, c.data, c.size);
        } catch (const KvnQFileException&) {
          throw writeFailed(c.fileId);
        }
      }
      if (last && writer && !writer->finish())
        throw KvnQFileException(KVN_HERE, KVN_E_SERVER, "Unable to writed data chunk");
    }
    if (last) return endOfTransfer(announced, received);
  }
}

std::uint32_t FileReceiver::discardData() {
  CreditGrant grant(channel_);
  for (;;) {
    NetPacket packet = channel_.receiveFilePacket();
    if (!packet.isFile() || packet.isError()) {
      KLOG_E("Error: this packet isnt file part");
      return KVN_E_NETWORK;
    }
    FileChunk c;
    if (!readLogged(packet, c)) return KVN_E_NETWORK;
    if (packet.isEnd()) return KVN_OK;
    if (!grant.add(c, false)) return KVN_E_NETWORK;
  }
}

}  // namespace kvn_network
