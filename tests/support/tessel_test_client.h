// The agent's end of the Tessel channel, scripted for tests: a blocking TLS
// client that accepts any certificate, does the hello by the agent's rules
// and then sends and receives single messages with the shared codec.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QSslSocket>
#include <QString>
#include <cstdint>
#include <optional>

#include "kvn_network/tessel_frame.h"
#include "kvn_network/tessel_proof.h"

namespace kvn_test {

struct TesselReceived {
  QJsonObject object;
  QByteArray payload;
  bool hasPayload = false;
  QString type() const { return object.value("type").toString(); }
};

class TesselTestClient {
 public:
  TesselTestClient() = default;
  TesselTestClient(const TesselTestClient&) = delete;
  TesselTestClient& operator=(const TesselTestClient&) = delete;

  // TLS connection; any certificate is accepted.
  bool connect(const QString& address, std::uint16_t port, int timeoutMs = 15000);
  // The hello as the agent makes it; the answer is read with the agent's
  // rules (whole header 1..65535, body waits of 1 s) and checked.
  kvn_network::tessel::HelloCheck hello(std::int64_t license, std::int64_t agent,
                                        const QString& cryptkey, int timeoutMs = 10000);
  // The peer certificate's serial number as Qt reports it.
  QByteArray peerSerial() const;

  bool send(const char* type, const QJsonObject& object = {}, const QByteArray* payload = nullptr);
  bool sendRaw(const QByteArray& bytes);
  // The next message; nothing when the time runs out, the link closes, the
  // frames are faulty (see frameError()) or the body is not a JSON object.
  std::optional<TesselReceived> receive(int timeoutMs = 10000);
  // Skips messages until one of this type comes.
  std::optional<TesselReceived> receiveType(const QString& type, int timeoutMs = 10000);
  // Until the box closes the link.
  bool waitClosed(int timeoutMs = 10000);

  kvn_network::tessel::FrameError frameError() const { return reader_.error(); }
  QSslSocket& socket() { return socket_; }
  void close() { socket_.abort(); }

 private:
  QSslSocket socket_;
  kvn_network::tessel::TesselFrameReader reader_;
};

}  // namespace kvn_test
