// The box's end of one agent connection: the negotiation in the box role,
// then a loop that hands every packet to the handler registered for its
// type. Runs on a thread of its own with a blocking socket of its own
// (PosixSocket); the base class brings the packet transforms and queues.
#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <memory>
#include <typeindex>

#include "boxsim/faults.h"
#include "boxsim/handler.h"
#include "boxsim/record.h"
#include "kvn_crypto/crypto_box.h"
#include "kvn_network/file_transfer.h"
#include "kvn_network/packet_connection.h"
#include "kvn_network/posix_socket.h"

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
  ~BoxSession() override;

  // Negotiates, then serves packets until the agent leaves, a handler ends
  // the conversation or a fault closes it. Never throws.
  void run();

  // Transforms as asked and writes the packet in one go. False when the
  // connection is gone.
  bool SendPacket(kvn_network::NetPacket& packet, bool compress, bool encrypt) override;
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
  // How a transfer received into a sink ended.
  enum class TransferEnd {
    Complete,  // the end packet arrived and the sink was ended
    Failed,    // refused (fault script or a failing sink), aborted by the agent or
               // broken; whatever was still coming of it has been drained
    Dropped,   // the fault script closes the connection part-way: end the session
  };
  // Receives one transfer whose first packet has arrived into sink,
  // granting credit as the data comes. Applies the fault script's refusal;
  // with dropAfterChunks >= 0, the data chunk that follows the first
  // dropAfterChunks chunks ends the transfer as Dropped. Records nothing.
  TransferEnd receiveTransfer(std::uint32_t fileId, kvn_common::StreamSink& sink,
                              int dropAfterChunks = -1);
  // Receives one transfer into a file on disk. True when it was complete.
  bool receiveFileToDisk(const QString& path);
  // Sends data as one transfer in chunks of chunkSize, waiting for credit;
  // applies the fault script's sequence faults.
  SentFile sendFile(std::uint32_t packetType, std::uint32_t fileId, const QByteArray& data,
                    bool compress = false, bool encrypt = false,
                    std::uint32_t chunkSize = kvn_network::kFileBlockSize);

  // The fault script's trap at this point of the conversation: true when
  // the session must end here (it held until the agent went away, or it
  // drops the connection). ordinal 0: the session counts the events of
  // that kind, type and name itself.
  bool reached(TrapPoint::Kind kind, std::uint32_t type = 0, const QString& name = {},
               int ordinal = 0);

  kvn_crypto::CryptoBox& crypto() { return *crypto_; }
  const kvn_crypto::Bytes& fileKey() const { return crypto_->fileKey(); }
  kvn_crypto::AesContext& dataCipher() { return crypto_->dataCipher(); }
  const FaultScript& faults() const { return faults_; }
  const BoxIdentity& identity() const { return identity_; }
  Record& record() { return record_; }

  // State that a conversation keeps for the life of this connection (for
  // example the file a backup is sending), made empty at first use. Handlers
  // are shared by all sessions, so such state cannot live in them.
  template <typename T>
  T& conversation() {
    std::shared_ptr<void>& slot = conversations_[std::type_index(typeid(T))];
    if (!slot) slot = std::make_shared<T>();
    return *static_cast<T*>(slot.get());
  }

 private:
  bool negotiate();
  void serve();
  void sendPings();
  // The trap's action and packet points, checked as a packet arrives.
  bool reachedOnArrival(const kvn_network::NetPacket& packet);
  // After a refusal: drops the rest of the transfer.
  void drainTransfer();

  // Null when the accepted connection could not be taken over. Kept here,
  // not in the base, so that its descriptor stays open until the session
  // ends even after a failed send.
  std::unique_ptr<kvn_network::PosixSocket> link_;
  BoxIdentity identity_;
  const Registry& registry_;
  FaultScript faults_;
  Record& record_;
  std::unique_ptr<kvn_crypto::CryptoBox> crypto_;
  int packetsReceived_ = 0;
  // Where this connection is dropped at random (fault script); -1: never.
  int dropAfterPackets_ = -1;
  std::uint32_t firstPacketType_ = 0;
  std::map<std::type_index, std::shared_ptr<void>> conversations_;
  std::map<QString, int> trapEvents_;
};

}  // namespace boxsim
