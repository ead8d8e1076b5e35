#include "kvn_network/net_receiver.h"

#include "kvn_crypto/crypto.h"
#include "kvn_log/log.h"
#include "net_error.h"

namespace kvn_network {

namespace {

const char* const kQueueLabels[] = {"Receive packet", "Receive control packet",
                                    "Receive file packet"};

std::uint32_t lengthField(const char* header) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(header) + 5;
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

NetReceiver::NetReceiver(kvn_compression::Compressor& compressor, int receiveTimeoutMs)
    : compressor_(compressor), receiveTimeoutMs_(receiveTimeoutMs) {}

NetReceiver::Queue NetReceiver::queueOf(const NetPacket& packet) {
  if (packet.isControl()) return Control;
  if (packet.isFile()) return File;
  return General;
}

std::int64_t NetReceiver::waitFor(std::int64_t got, std::int64_t needed) {
  if (got >= needed) return got;
  if (!stream_->isOpen())
    throw KvnCommonException(KVN_HERE, KVN_E_SOCKET_CLOSED, "The socket has been closed");
  if (got < 0) throw KvnCommonException(KVN_HERE, KVN_E_NETWORK, "Failed to receive data");
  const std::int64_t before = stream_->bytesAvailable();
  const bool arrived = stream_->waitForReadyRead(receiveTimeoutMs_);
  if (arrived || stream_->bytesAvailable() != before) return got;
  // A peer that left while we waited is a closed socket, not a timeout.
  if (!stream_->isOpen())
    throw KvnCommonException(KVN_HERE, KVN_E_SOCKET_CLOSED, "The socket has been closed");
  throw KvnCommonException(KVN_HERE, KVN_E_NETWORK, "Connection timed out");
}

void NetReceiver::readExactly(char* data, std::int64_t size) {
  std::int64_t done = 0;
  while (done < size) {
    const std::int64_t got = stream_->read(data + done, size - done);
    if (got > 0) {
      done += got;
      continue;
    }
    waitFor(got, 1);
  }
}

void NetReceiver::readFrame() {
  if (stream_ == nullptr) throw KvnCommonException(KVN_HERE, KVN_E_SOCKET_CLOSED, "Socket reset");
  char header[kPacketHeaderSize];
  for (;;) {
    const std::int64_t got = stream_->peek(header, kPacketHeaderSize);
    if (waitFor(got, kPacketHeaderSize) >= kPacketHeaderSize) break;
  }
  const std::uint32_t size = lengthField(header);
  if (size < kPacketHeaderSize || size > kMaxPacketSize)
    KVN_NET_THROW(KVN_E_EXCEPTION, "Malformed packet: packetSize=%u", size);

  NetPacket::Bytes bytes(size);
  readExactly(reinterpret_cast<char*>(bytes.data()), size);
  NetPacket packet = NetPacket::fromBytes(std::move(bytes));

  if (packet.isEncrypted()) {
    if (crypto_ == nullptr)
      KLOG_E("Error: Invalid crypto object");
    else
      packet.decrypt(*crypto_);
  }
  if (packet.isCompressed()) packet.decompress(compressor_);

  if (packet.type() == kPingPacketType) {
    KLOG_D("Received ping from server");
    return;
  }
  queues_[queueOf(packet)].push_back(std::move(packet));
}

NetPacket NetReceiver::receive(Queue queue) {
  while (queues_[queue].empty()) readFrame();
  NetPacket packet = std::move(queues_[queue].front());
  queues_[queue].pop_front();
  packet.dump(kQueueLabels[queue]);
  return packet;
}

NetPacket NetReceiver::receiveAny() {
  for (;;) {
    for (Queue queue : {General, File, Control})
      if (!queues_[queue].empty()) return receive(queue);
    readFrame();
  }
}

void NetReceiver::putBack(NetPacket packet) {
  queues_[queueOf(packet)].push_front(std::move(packet));
}

}  // namespace kvn_network
