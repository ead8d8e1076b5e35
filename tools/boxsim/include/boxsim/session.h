// The box's end of one agent connection: the negotiation in the box role,
// then a loop that hands every packet to the handler registered for its
// type. Runs on a thread of its own with a blocking socket.
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

#include "boxsim/faults.h"
#include "boxsim/handler.h"
#include "boxsim/record.h"
#include "kvn_crypto/crypto_box.h"
#include "kvn_network/file_transfer.h"
#include "kvn_network/packet_connection.h"

namespace boxsim {

// Who the box is: the agent must know the cryptkey to negotiate.
struct BoxIdentity {
  QByteArray cryptkeyHex;
  // The agent's storage licence number; 0 accepts any.
  std::uint64_t storageLicence = 0;
  // The box's device licence (pairing, box test answers).
  std::uint64_t deviceLicence = 0;
  // The box's two RSA key pairs; made at start-up when empty.
  kvn_crypto::RsaKeyPair firstKey;
  kvn_crypto::RsaKeyPair secondKey;
  // Handed to the agent at the end of the negotiation; random when empty.
  kvn_crypto::Bytes dataKey;
};

class BoxSession : public kvn_network::PacketConnection {
 public:
  BoxSession(qintptr socketDescriptor, const BoxIdentity& identity, const Registry& registry,
             const FaultScript& faults, Record& record,
             const kvn_network::NetSettings& settings = {});

  // Negotiates, then serves packets until the agent leaves, a handler ends
  // the conversation or a fault closes it. Never throws.
  void run();

  // Sends an answer (pings and delay of the fault script come first).
  // False when the socket is gone.
  bool send(kvn_network::NetPacket& packet, bool compress = false, bool encrypt = false);
  // The next packet of any queue, pings dropped. Throws on a broken
  // connection or a timeout.
  kvn_network::NetPacket receive();
  // Puts a packet back so that the next receive of its queue returns it.
  void putBack(kvn_network::NetPacket packet) { receiver().putBack(std::move(packet)); }

  // Receives one transfer whose first packet has arrived (already taken or
  // still queued), granting credit as the data comes. Applies the fault
  // script's refusal. The result is also recorded unless record is false.
  ReceivedFile receiveFile(std::uint32_t packetType, std::uint32_t fileId, bool keepData,
                           bool record = true);
  // Receives one transfer into a file on disk. True when it was complete.
  bool receiveFileToDisk(const QString& path);
  // Sends data as one transfer in chunks of chunkSize, waiting for credit;
  // applies the fault script's sequence faults.
  SentFile sendFile(std::uint32_t packetType, std::uint32_t fileId, const QByteArray& data,
                    bool compress = false, bool encrypt = false,
                    std::uint32_t chunkSize = kvn_network::kFileBlockSize);

  kvn_crypto::CryptoBox& crypto() { return *crypto_; }
  const kvn_crypto::Bytes& fileKey() const { return crypto_->fileKey(); }
  kvn_crypto::AesContext& dataCipher() { return crypto_->dataCipher(); }
  const FaultScript& faults() const { return faults_; }
  const BoxIdentity& identity() const { return identity_; }
  Record& record() { return record_; }

 private:
  bool negotiate();
  void serve();
  void sendPings();
  // After a refusal: drops the rest of the transfer.
  void drainTransfer();

  BoxIdentity identity_;
  const Registry& registry_;
  FaultScript faults_;
  Record& record_;
  std::unique_ptr<kvn_crypto::CryptoBox> crypto_;
  int packetsReceived_ = 0;
};

}  // namespace boxsim
