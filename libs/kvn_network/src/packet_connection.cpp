#include "kvn_network/packet_connection.h"

#include "kvn_crypto/crypto.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace kvn_network {

PacketConnection::PacketConnection(const NetSettings& settings,
                                   kvn_compression::GzipEngine deflateEngine)
    : settings_(settings),
      compressor_(kCompressorBuffer, -1, deflateEngine),
      receiver_(compressor_, settings.receiveTimeoutMs) {}

PacketConnection::~PacketConnection() { closeSocket(); }

void PacketConnection::adoptTransport(std::unique_ptr<SocketTransport> transport) {
  transport_ = std::move(transport);
  receiver_.setStream(transport_.get());
}

void PacketConnection::setCrypto(kvn_crypto::Crypto* crypto) {
  crypto_ = crypto;
  receiver_.setCrypto(crypto);
}

void PacketConnection::dropSocket() {
  receiver_.setStream(nullptr);
  if (transport_) transport_->abort();
  transport_.reset();
}

void PacketConnection::closeSocket() {
  if (!transport_) return;
  transport_->close(settings_.receiveTimeoutMs);
  dropSocket();
}

void PacketConnection::holdSends(bool hold) {
  if (transport_) transport_->holdSends(hold);
}

bool PacketConnection::prepare(NetPacket& packet, bool compress, bool encrypt) {
  if (compress) packet.compress(compressor_);
  if (encrypt) {
    if (crypto_ == nullptr)
      KLOG_E("Error: Invalid crypto object");
    else
      packet.encrypt(*crypto_);
  }
  return true;
}

bool PacketConnection::SendPacket(NetPacket& packet, bool compress, bool encrypt) {
  if (!transport_) return false;
  if (sendOn(*transport_, packet, compress, encrypt)) return true;
  dropSocket();
  return false;
}

bool PacketConnection::sendOn(SocketTransport& transport, NetPacket& packet, bool compress,
                              bool encrypt) {
  prepare(packet, compress, encrypt);
  packet.dump("SendPacket");
  const auto& bytes = packet.bytes();
  if (transport.send(bytes.data(), bytes.size())) return true;
  KLOG_E("Failed to send data: %s", transport.errorString().c_str());
  return false;
}

NetPacket PacketConnection::receivePacket() { return receiver_.receive(NetReceiver::General); }

NetPacket PacketConnection::receiveControlPacket() {
  return receiver_.receive(NetReceiver::Control);
}

NetPacket PacketConnection::receiveFilePacket() { return receiver_.receive(NetReceiver::File); }

NetPacket PacketConnection::receiveChecked() {
  NetPacket packet = receivePacket();
  if (packet.isError()) throw KvnCommonException(KVN_HERE, KVN_E_INVALID_REPLY);
  return packet;
}

bool PacketConnection::sendNegotiation(std::uint8_t code, const std::vector<std::uint8_t>& body) {
  if (body.empty()) throw KvnCommonException(KVN_HERE, "Empty frame");
  NetPacket packet(0);
  packet.setNegotiation();
  packet.putUInt32(static_cast<std::uint32_t>(body.size()));
  packet.putUInt8(code);
  packet.putDataChunk(body.data(), body.size());
  return SendPacket(packet, false, false);
}

}  // namespace kvn_network
