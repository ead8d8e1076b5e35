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

void PacketConnection::adoptSocket(std::unique_ptr<QTcpSocket> socket) {
  socket_ = std::move(socket);
  // Every exchange is a small request and a small answer: without this the
  // kernel holds the short packets back waiting for acknowledgements, which
  // costs tens of milliseconds per answer.
  if (socket_) socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  stream_ = std::make_unique<SocketStream>(*socket_);
  receiver_.setStream(stream_.get());
}

void PacketConnection::setCrypto(kvn_crypto::Crypto* crypto) {
  crypto_ = crypto;
  receiver_.setCrypto(crypto);
}

void PacketConnection::dropSocket() {
  receiver_.setStream(nullptr);
  stream_.reset();
  if (socket_) socket_->abort();
  socket_.reset();
}

void PacketConnection::closeSocket() {
  if (!socket_) return;
  // Without an event loop, queued bytes only leave while we wait for them.
  while (socket_->state() == QAbstractSocket::ConnectedState && socket_->bytesToWrite() > 0) {
    if (!socket_->waitForBytesWritten(settings_.receiveTimeoutMs)) break;
  }
  socket_->disconnectFromHost();
  if (socket_->state() != QAbstractSocket::UnconnectedState) socket_->waitForDisconnected(1000);
  dropSocket();
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
  if (!socket_) return false;
  prepare(packet, compress, encrypt);
  packet.dump("SendPacket");
  const auto& bytes = packet.bytes();
  if (socket_->write(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<qint64>(bytes.size())) == -1) {
    KLOG_E("Failed to send data: %s", socket_->errorString().toUtf8().constData());
    dropSocket();
    return false;
  }
  // Hands what it can to the kernel now; the rest leaves while we wait.
  socket_->flush();
  return true;
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
