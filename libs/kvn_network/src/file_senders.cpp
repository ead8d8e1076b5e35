#include "kvn_log/log.h"
#include "kvn_network/file_transfer.h"
#include "net_error.h"

namespace kvn_network {

namespace {

const char* const kSinkName = "[NetClientStream]";

NetPacket abortPacket(std::uint32_t type, std::uint32_t fileId, const char* sender) {
  NetPacket packet(type);
  packet.setFile();
  packet.setError();
  packet.putUInt32(fileId);
  packet.putString(std::string(sender));
  return packet;
}

}  // namespace

NetPacket filePacket(std::uint32_t type, std::uint32_t fileId, const char* name,
                     std::uint32_t chunk, std::uint64_t offset, std::uint64_t total) {
  NetPacket packet(type);
  packet.setFile();
  packet.putUInt32(fileId);
  packet.putString(std::string(name));
  packet.putUInt32(chunk);
  packet.putUInt64(offset);
  packet.putUInt64(total);
  return packet;
}

void CreditWindow::waitIfNeeded(PacketChannel& channel) {
  if (!waiting_) return;
  NetPacket grant = channel.receiveControlPacket();
  if (grant.isError()) {
    waiting_ = false;
    refused_ = true;
    throw KvnCommonException(KVN_HERE, KVN_E_NETWORK, errorText_);
  }
  if (grant.type() == kTransferControlType) grant.getUInt32();
  const std::uint64_t credit = grant.getUInt64();
  credit_ = credit > static_cast<std::uint64_t>(kCreditWindow) * 64
                ? kCreditWindow * 64
                : static_cast<std::int64_t>(credit);
  waiting_ = false;
  ++grants_;
}

void CreditWindow::consume(std::int64_t bytes) {
  credit_ -= bytes;
  if (credit_ <= 0) waiting_ = true;
}

FileSender::FileSender(PacketChannel& channel, std::string name, std::uint32_t type,
                       std::uint32_t fileId, std::uint64_t totalSize, bool encrypt, bool compress)
    : channel_(channel),
      name_(std::move(name)),
      type_(type),
      fileId_(fileId),
      totalSize_(totalSize),
      encrypt_(encrypt),
      compress_(compress),
      credit_("FileSender: Received error control packet") {}

void FileSender::send(NetPacket& packet, bool compress, bool encrypt, const char* failure) {
  if (!channel_.SendPacket(packet, compress, encrypt))
    throw KvnCommonException(KVN_HERE, KVN_E_NETWORK, failure);
}

// A refused transfer ends with an abort packet: the receiver drops packets
// until one ends the transfer, and a sender that just stopped would leave
// it waiting for the rest of the receive limit.
void FileSender::waitForCredit() {
  try {
    credit_.waitIfNeeded(channel_);
  } catch (const KvnCommonException&) {
    if (credit_.refused() && open_) {
      try {
        abort();
      } catch (const KvnCommonException& e) {
        KLOG_E("%s", e.what());
      }
    }
    throw;
  }
}

void FileSender::sendChunk(std::uint64_t offset, const void* data, std::uint32_t size, bool last) {
  if (!open_) KVN_NET_THROW(KVN_E_NETWORK, "FileSender: Stream is closed %s", name_.c_str());
  NetPacket packet = filePacket(type_, fileId_, name_.c_str(), chunks_, offset, totalSize_);
  packet.putUInt32(size);
  packet.putDataChunk(data, size);
  if (last) packet.setEnd();
  // Compressing and encrypting before the wait overlaps that work with the
  // receiver's handling of the previous chunk; the wire sees the same order.
  const bool prepared = channel_.prepare(packet, compress_, encrypt_);
  waitForCredit();
  ++chunks_;
  sent_ += size;
  send(packet, !prepared && compress_, !prepared && encrypt_, "FileSender: SendPacket failed");
  credit_.consume(size);
  // The receiver grants no credit for the packet that ends the transfer,
  // so waiting for one here could only time out.
  if (last) open_ = false;
}

void FileSender::finish() {
  if (!open_) KVN_NET_THROW(KVN_E_NETWORK, "FileSender: Stream is closed %s", name_.c_str());
  waitForCredit();
  NetPacket packet = filePacket(type_, fileId_, name_.c_str(), chunks_, sent_,
                                totalSize_ != 0 ? totalSize_ : sent_);
  packet.putUInt32(0);
  packet.setEnd();
  open_ = false;
  send(packet, false, false, "NetClientSendFileSink: SendPacket failed");
}

void FileSender::abort() {
  if (!open_) KVN_NET_THROW(KVN_E_NETWORK, "FileSender: Stream is closed '%s'", name_.c_str());
  credit_.waitIfNeeded(channel_);
  NetPacket packet = abortPacket(type_, fileId_, "[FileSender]");
  open_ = false;
  send(packet, false, false, "NetClientFileTransfer: SendPacket failed");
}

NetClientSendFileSink::NetClientSendFileSink(PacketChannel& channel, std::uint32_t type,
                                             std::uint32_t fileId, bool encrypt, bool compress)
    : channel_(channel),
      type_(type),
      fileId_(fileId),
      credit_("NetClientSendFileSink: Received error control packet"),
      encrypt_(encrypt),
      compress_(compress) {}

void NetClientSendFileSink::send(NetPacket& packet, bool compress, bool encrypt) {
  if (!channel_.SendPacket(packet, compress, encrypt))
    throw KvnCommonException(KVN_HERE, KVN_E_NETWORK, "NetClientSendFileSink: SendPacket failed");
}

void NetClientSendFileSink::waitForCredit() {
  try {
    credit_.waitIfNeeded(channel_);
  } catch (const KvnCommonException&) {
    if (credit_.refused()) {
      try {
        abort();
      } catch (const KvnCommonException& e) {
        KLOG_E("%s", e.what());
      }
    }
    throw;
  }
}

void NetClientSendFileSink::write(const char* data, std::uint32_t size) {
  NetPacket packet = filePacket(type_, fileId_, kSinkName, chunks_, sent_, 0);
  packet.putUInt32(size);
  packet.putDataChunk(data, size);
  // As in FileSender::sendChunk: the transforms run before the wait.
  const bool prepared = channel_.prepare(packet, compress_, encrypt_);
  waitForCredit();
  ++chunks_;
  sent_ += size;
  send(packet, !prepared && compress_, !prepared && encrypt_);
  credit_.consume(size);
}

void NetClientSendFileSink::end() {
  waitForCredit();
  NetPacket packet = filePacket(type_, fileId_, kSinkName, chunks_, sent_, sent_);
  packet.putUInt32(0);
  packet.setEnd();
  send(packet, false, false);
}

void NetClientSendFileSink::abort() {
  credit_.waitIfNeeded(channel_);
  NetPacket packet = abortPacket(type_, fileId_, "[NetClientSendFileSink]");
  send(packet, false, false);
}

}  // namespace kvn_network
