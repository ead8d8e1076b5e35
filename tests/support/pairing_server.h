// Runs pairing_server.py (the box's registration page) on a loopback
// address for the length of a test.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <string>

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
    process_.setProgram("python3");
    process_.setArguments({QString(KVN_TEST_SOURCE_DIR) + "/tests/support/pairing_server.py",
                           "--address", address, "--port", QString::number(port), "--mode",
                           mode == Mode::Tls ? "tls" : "plain", "--body-file",
                           QString::fromStdString(dir_.file("body.json")), "--log",
                           QString::fromStdString(dir_.file("requests.log")), "--workdir",
                           QString::fromStdString(dir_.path())});
    process_.start();
    // The certificate is made before the port is announced.
    if (process_.waitForReadyRead(60000)) {
      const QString line = QString::fromUtf8(process_.readLine()).trimmed();
      if (line.startsWith("port ")) port_ = line.mid(5).toInt();
    }
  }
  ~PairingServer() {
    process_.kill();
    process_.waitForFinished();
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
  QProcess process_;
  int port_ = 0;
};

}  // namespace kvn_test
