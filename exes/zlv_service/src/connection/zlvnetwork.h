// The per-run connection to the box, or to the datanode when no box
// answers. Every job (backup, restoration, deletion, configuration
// download, report, upgrade check, box test) makes its own, uses it on its
// own thread and destroys it at the end, which closes the connection.
// Addresses, licence numbers and key come from the credentials each time
// they are needed. A connection made elsewhere (a scripted channel) can be
// handed in instead; everything above the channel then runs unchanged.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/bytes.h"
#include "kvn_network/file_transfer.h"
#include "kvn_network/net_settings.h"
#include "kvn_network/netpacket.h"

class Credentials;

namespace kvn_crypto {
class CryptoClient;
}
namespace kvn_network {
class NetClient;
}

struct ZlvNetworkSettings {
  // How long a box or datanode address gets to accept the probe.
  int probeTimeoutMs = 15000;
  // The connect and receive limits of the connection itself.
  kvn_network::NetSettings net;
};

// The session keys of a channel that was not negotiated by the facade.
struct ChannelKeys {
  kvn_crypto::Bytes fileKey;
  // Sets up the data cipher as the box's data key does; none when empty.
  kvn_crypto::Bytes dataKey;
};

class CZLVNetwork {
 public:
  static constexpr std::uint16_t kBoxPort = 6670;

  // Chooses the target: the boxes of the credentials' list in order, then
  // (with allowDatanode) the datanode. Without a reachable target the
  // facade has no client and every operation fails.
  CZLVNetwork(bool allowDatanode, const Credentials& credentials,
              const ZlvNetworkSettings& settings = {});
  // Over a channel that is already connected, with its keys; the channel
  // must outlive the facade. ConnectToServer then only succeeds.
  CZLVNetwork(kvn_network::PacketChannel& channel, const Credentials& credentials,
              const ChannelKeys& keys);
  ~CZLVNetwork();
  CZLVNetwork(const CZLVNetwork&) = delete;
  CZLVNetwork& operator=(const CZLVNetwork&) = delete;

  bool isConnected() const { return channel_ != nullptr; }
  // The chosen target; null without one, and for a handed-in channel.
  const kvn_network::NetClient* client() const { return client_.get(); }

  // Connects and negotiates the session. 0, KVN_E_ARGUMENTS without a
  // client, else the failure's code.
  std::uint32_t ConnectToServer();
  // Announces an operation; 0, or KVN_E_SERVER_STATUS when the box refuses
  // it, KVN_E_NETWORK, KVN_E_EXCEPTION, KVN_E_ARGUMENTS.
  std::uint32_t SendOperation(const QString& name);
  // Compressed and encrypted; false when it could not be sent.
  bool SendPacket(kvn_network::NetPacket& packet);
  bool SendPacket(kvn_network::NetPacket* packet);
  // An empty packet of that type; 0 or KVN_E_NETWORK.
  std::uint32_t SendConfirmPacket(std::uint32_t type);
  // Sends the text as an error packet of that type and checks the box's
  // acknowledgement.
  bool reportError(std::uint32_t type, std::uint32_t code, const QString& text);

  // The next packet of the general queue; failures are thrown
  // (KvnCommonException "Invalid netclient" without a client).
  kvn_network::NetPacket receivePacket();
  // The same; an error packet throws KVN_E_INVALID_REPLY.
  kvn_network::NetPacket receiveChecked();
  // Receives one packet and drops it; a failure is only logged.
  void receiveConfirm();

  // Whole-file transfers; failures are thrown.
  void sendFile(const QString& path, std::uint32_t type, std::uint32_t fileId, bool encrypt,
                bool compress);
  // The same transfer of bytes already in memory.
  void sendBytes(const char* data, std::size_t size, std::uint32_t type, std::uint32_t fileId,
                 bool encrypt, bool compress);
  // While held, packets may wait and leave together when the next answer
  // is awaited or the hold ends: for the packets of one file that the box
  // answers once.
  void holdSends(bool hold);
  void receiveFile(const QString& path);
  // Into a file the caller opened for writing.
  void receiveFile(QFile& file);
  // Takes an incoming transfer off the connection without keeping it.
  void discardFile();
  // Refuses the transfer under way and drops what is still coming of it:
  // 0 or KVN_E_NETWORK.
  std::uint32_t refuseTransfer(std::uint32_t fileId);
  std::unique_ptr<kvn_network::FileSender> createFileSender(const std::string& name,
                                                            std::uint32_t type,
                                                            std::uint32_t fileId,
                                                            std::uint64_t size, bool encrypt,
                                                            bool compress);
  std::unique_ptr<kvn_network::NetClientSendFileSink> createSendFileSink(std::uint32_t type,
                                                                         std::uint32_t fileId,
                                                                         bool encrypt,
                                                                         bool compress);

  // The session's keys; thrown when there is no negotiated session.
  const kvn_crypto::Bytes& fileKey();
  kvn_crypto::AesContext& dataCipher();

  // Ends a running transfer with the stop code; any thread may call it.
  void stop();

  // The operation name of an index of the protocol's table ("INITIAL",
  // "BCK_INITIAL", ...); "<unassigned>" outside it.
  static const char* operationName(int index);

 private:
  struct Target {
    QString host;
    std::uint16_t port = 0;
  };
  std::optional<Target> chooseTarget(bool allowDatanode) const;
  std::optional<Target> firstBox() const;
  std::optional<Target> datanode() const;
  // A probe connection to (host, port) within the probe limit; logs a
  // failure with logText as the name.
  bool probe(const QString& host, std::uint16_t port, const QString& logText) const;
  kvn_network::PacketChannel& requireChannel();
  kvn_network::NetFileController& requireFiles();
  kvn_crypto::CryptoClient& requireSession();

  const Credentials& credentials_;
  ZlvNetworkSettings settings_;
  std::unique_ptr<kvn_network::NetClient> client_;
  // client_, or the handed-in channel; null without a target.
  kvn_network::PacketChannel* channel_ = nullptr;
  kvn_network::NetFileController* files_ = nullptr;
  // Only with a handed-in channel.
  std::unique_ptr<kvn_network::NetFileController> ownFiles_;
  std::unique_ptr<ChannelKeys> channelKeys_;
  std::unique_ptr<kvn_crypto::AesContext> channelData_;
};

// Makes the connection of one job; allowDatanode as for the constructor.
// Jobs take one from their context, so that a test or a fuzzer can hand
// them a scripted channel.
using NetworkFactory = std::function<std::unique_ptr<CZLVNetwork>(bool allowDatanode)>;
// The production one: a CZLVNetwork to the credentials' box (or datanode).
NetworkFactory boxNetworkFactory(const Credentials& credentials,
                                 const ZlvNetworkSettings& settings);
// factory's connection, or without a factory the production one.
std::unique_ptr<CZLVNetwork> makeJobNetwork(const NetworkFactory& factory, bool allowDatanode,
                                            const Credentials& credentials,
                                            const ZlvNetworkSettings& settings);

// Holds the network's sends while it lives (see CZLVNetwork::holdSends).
class HeldSends {
 public:
  explicit HeldSends(CZLVNetwork& network) : network_(network) { network_.holdSends(true); }
  ~HeldSends() { network_.holdSends(false); }
  HeldSends(const HeldSends&) = delete;
  HeldSends& operator=(const HeldSends&) = delete;

 private:
  CZLVNetwork& network_;
};

// Reports a failure of a job to the box: "$e0000042" (error) or
// "$e0000041" (warning), then ": <text>" or "."; logged at warning level
// and sent with the code flagged for its kind. The facade's result.
bool reportError(CZLVNetwork& network, std::uint32_t type, std::uint32_t code, bool isError,
                 const QString& text);
