// The box's registration page over HTTPS, so that an agent can be paired
// with the simulated box ("--register <address>"). It serves
// GET /zelvo/php/scripts/register_agent.php with the JSON the agent
// expects, under a self-signed certificate made at start-up.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

namespace boxsim {

class Record;

struct PairingConfig {
  QString address = "127.0.0.1";
  // 0 picks a free port (see PairingEndpoint::port()).
  std::uint16_t port = 443;
  // What the reply hands to the agent: "license_key" (the agent's storage
  // licence), "device" (its device number), "dn", "cryptkey".
  std::int64_t licenseKey = 0;
  std::int64_t device = 0;
  QString datanode;
  QString cryptkeyHex;
};

class PairingEndpoint {
 public:
  // Each request is noted in record (when given) as "pairing <target>".
  explicit PairingEndpoint(PairingConfig config, Record* record = nullptr);
  ~PairingEndpoint();
  PairingEndpoint(const PairingEndpoint&) = delete;
  PairingEndpoint& operator=(const PairingEndpoint&) = delete;

  // Makes the certificate and starts listening on a thread of its own (a
  // QCoreApplication must exist). False, logged, when either fails.
  bool start();
  void stop();

  // The port listened on, once started.
  std::uint16_t port() const;

  // The reply body for a registration request.
  QByteArray replyBody() const;

 private:
  class Server;
  PairingConfig config_;
  Record* record_;
  std::unique_ptr<Server> server_;
};

}  // namespace boxsim
