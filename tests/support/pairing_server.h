// Runs pairing_server.py (the box's registration page) on a loopback
// address for the length of a test.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>
#include <string>

#include "spawned_process.h"
#include "temp_dir.h"

namespace kvn_test {

class PairingServer {
 public:
  enum class Mode { Tls, Plain };

  // body is the reply to every registration request; port 0 picks a free
  // port.
  PairingServer(const QString& address, Mode mode, const std::string& body, int port = 0)
      : address_(address) {
    setBody(body);
    process_.emplace("python3",
                     std::vector<std::string>{
                         KVN_TEST_SOURCE_DIR "/tests/support/pairing_server.py", "--address",
                         address.toStdString(), "--port", std::to_string(port), "--mode",
                         mode == Mode::Tls ? "tls" : "plain", "--body-file", dir_.file("body.json"),
                         "--log", dir_.file("requests.log"), "--workdir", dir_.path()});
    // The certificate is made before the port is announced.
    const std::string line = process_->readLine(std::chrono::minutes(1));
    if (line.rfind("port ", 0) == 0) port_ = std::stoi(line.substr(5));
  }

  bool listening() const { return port_ > 0; }
  int port() const { return port_; }
  // "address:port", as given to the agent's --register.
  QString boxAddress() const { return QString("%1:%2").arg(address_).arg(port_); }
  void setBody(const std::string& body) { writeFile(dir_.file("body.json"), body); }
  // One line per request: "<scheme> <tls version> <path and query>".
  QStringList requests() const {
    return QString::fromStdString(readFile(dir_.file("requests.log")))
        .split('\n', Qt::SkipEmptyParts);
  }

 private:
  TempDir dir_;
  QString address_;
  // Killed with this object.
  std::optional<SpawnedProcess> process_;
  int port_ = 0;
};

}  // namespace kvn_test
