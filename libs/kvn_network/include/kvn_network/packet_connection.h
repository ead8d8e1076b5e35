// One packet connection over a socket transport, used on one thread: sends
// packets (compressing and encrypting on request) and receives them through
// the three queues. The agent's NetClient and the box simulator's session
// add their end of the negotiation on top.
#pragma once

#include <memory>

#include "kvn_compression/compressor.h"
#include "kvn_network/net_receiver.h"
#include "kvn_network/net_settings.h"
#include "kvn_network/packet_channel.h"
#include "kvn_network/socket_transport.h"

namespace kvn_network {

class PacketConnection : public PacketChannel {
 public:
  static constexpr std::size_t kCompressorBuffer = 0x100000;

  // The packets this end compresses use deflateEngine (zlib at its default
  // level unless told otherwise); incoming ones are read either way.
  explicit PacketConnection(
      const NetSettings& settings = {},
      kvn_compression::GzipEngine deflateEngine = kvn_compression::GzipEngine::Zlib);
  ~PacketConnection() override;
  PacketConnection(const PacketConnection&) = delete;
  PacketConnection& operator=(const PacketConnection&) = delete;

  bool SendPacket(NetPacket& packet, bool compress, bool encrypt) override;
  bool prepare(NetPacket& packet, bool compress, bool encrypt) override;
  NetPacket receivePacket() override;
  NetPacket receiveControlPacket() override;
  NetPacket receiveFilePacket() override;
  // receivePacket(), throwing KVN_E_INVALID_REPLY when it has the error bit.
  NetPacket receiveChecked();

  // Sends one negotiation message: type 0, negotiation bit, u32 body
  // length, u8 code, body; neither compressed nor encrypted.
  bool sendNegotiation(std::uint8_t code, const std::vector<std::uint8_t>& body);

  // While held, small packets may wait and leave together when a read
  // has to wait for the peer or the hold ends (see SocketTransport).
  void holdSends(bool hold) override;

  bool hasSocket() const { return transport_ != nullptr; }
  // Pushes out what is queued on the socket, then closes it.
  void closeSocket();

  const NetSettings& settings() const { return settings_; }
  NetReceiver& receiver() { return receiver_; }

 protected:
  void adoptTransport(std::unique_ptr<SocketTransport> transport);
  // Transforms as asked and hands the packet to transport in one go; a
  // failure is logged. Leaves the transport as it is either way.
  bool sendOn(SocketTransport& transport, NetPacket& packet, bool compress, bool encrypt);
  void setCrypto(kvn_crypto::Crypto* crypto);
  // Drops the socket without flushing (after a failed write).
  void dropSocket();

 private:
  NetSettings settings_;
  kvn_compression::Compressor compressor_;
  NetReceiver receiver_;
  std::unique_ptr<SocketTransport> transport_;
  kvn_crypto::Crypto* crypto_ = nullptr;
};

}  // namespace kvn_network
