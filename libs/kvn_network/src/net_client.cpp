#include "kvn_network/net_client.h"

#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/posix_socket.h"
#include "net_error.h"

namespace kvn_network {

NetClient::NetClient(QString host, std::uint16_t port, const NetSettings& settings)
    : PacketConnection(settings), host_(std::move(host)), port_(port) {}

NetClient::~NetClient() {
  // The socket goes before the session cipher it may still refer to.
  closeSocket();
}

void NetClient::openSocket() {
  int error = 0;
  auto socket = PosixSocket::connectTo(host_.toStdString(), port_, settings().connectTimeoutMs,
                                       settings().receiveTimeoutMs, error);
  if (!socket) {
    KVN_NET_THROW(KVN_E_EXCEPTION, "cannot connect to %s:%d (%d)", host_.toUtf8().constData(),
                  static_cast<int>(port_), error);
  }
  adoptTransport(std::move(socket));
}

void NetClient::connect(std::uint64_t storageLicence, const QString& cryptkeyHex) {
  const QByteArray master = QByteArray::fromHex(cryptkeyHex.toLatin1());
  if (!hasSocket()) openSocket();

  kvn_crypto::ClientSecrets secrets;
  secrets.storageLicence = storageLicence;
  secrets.masterKey.assign(master.begin(), master.end());
  setCrypto(nullptr);
  crypto_ = std::make_unique<kvn_crypto::CryptoClient>(secrets);
  negotiate();
  // Packets are only decrypted once both ciphers exist.
  setCrypto(crypto_.get());
  if (crypto_->state() != kvn_crypto::kDone)
    KVN_NET_THROW(KVN_E_EXCEPTION, "encryption negotiation failed with status 0x%02x",
                  static_cast<unsigned>(crypto_->state()));
}

void NetClient::negotiate() {
  const kvn_crypto::NegotiationMessage first = crypto_->firstMessage();
  sendNegotiation(first.code, first.body);
  do {
    NetPacket packet;
    try {
      packet = receivePacket();
    } catch (const KvnCommonException& e) {
      KLOG_E("Cannot receive packet: %s", e.what());
      return;
    }
    kvn_crypto::NegotiationMessage message;
    try {
      const std::uint32_t size = packet.getUInt32();
      message.code = packet.getUInt8();
      const std::uint8_t* body = packet.getDataPointer(size);
      message.body.assign(body, body + size);
    } catch (const KvnCommonException& e) {
      KLOG_E("Cannot receive packet: %s", e.what());
      return;
    }
    if (message.body.empty()) return;
    const kvn_crypto::NegotiationMessage reply = crypto_->next(message);
    if (reply.body.empty()) return;
    if (!sendNegotiation(reply.code, reply.body)) return;
  } while (crypto_->state() != kvn_crypto::kDone);
}

}  // namespace kvn_network
