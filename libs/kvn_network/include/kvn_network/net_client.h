// The agent's end of one connection to the box or the datanode: opens the
// socket (a plain POSIX one: a blocking QTcpSocket wakes the thread's event
// dispatcher around every write and polls before every read), runs the
// session negotiation and then carries packets and file transfers. Used by one job thread; only stop() may come from another.
#pragma once

#include <QString>
#include <memory>

#include "kvn_crypto/crypto_client.h"
#include "kvn_network/file_transfer.h"
#include "kvn_network/packet_connection.h"

namespace kvn_network {

class NetClient : public PacketConnection {
 public:
  NetClient(QString host, std::uint16_t port, const NetSettings& settings = {});
  ~NetClient() override;

  // Opens the socket when there is none and negotiates a new session.
  // Throws KvnCommonException on failure.
  void connect(std::uint64_t storageLicence, const QString& cryptkeyHex);

  void stop() { files_.stop(); }
  NetFileController& fileController() { return files_; }
  // Null before the first connect.
  kvn_crypto::CryptoClient* crypto() const { return crypto_.get(); }

  const QString& host() const { return host_; }
  std::uint16_t port() const { return port_; }

 private:
  void openSocket();
  void negotiate();

  QString host_;
  std::uint16_t port_;
  std::unique_ptr<kvn_crypto::CryptoClient> crypto_;
  NetFileController files_{*this};
};

}  // namespace kvn_network
