// Runs tessel_python_box.py, the box's end of the Tessel channel without
// Qt, on a loopback address for the length of a test.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "spawned_process.h"
#include "temp_dir.h"

namespace kvn_test {

class TesselPythonBox {
 public:
  // extra: further options of the script (--serial, --after-hello, --query).
  TesselPythonBox(const QString& address, int port, std::int64_t license, const QString& key,
                  const QStringList& extra = {})
      : process_("python3", arguments(address, port, license, key, extra)) {
    // "ready <port> <serial text>" comes once the certificate is made.
    const QStringList ready = readLine(60000).split(' ');
    if (ready.size() == 3 && ready[0] == "ready") {
      port_ = ready[1].toInt();
      serial_ = ready[2].toLatin1();
    }
  }

  bool listening() const { return port_ > 0; }
  int port() const { return port_; }
  // The certificate's serial number as the script wrote it.
  const QByteArray& serial() const { return serial_; }

  // The next line the script prints, without its end; empty after waitMs.
  QString readLine(int waitMs = 10000) {
    return QString::fromStdString(process_.readLine(std::chrono::milliseconds(waitMs))).trimmed();
  }
  // Waits for the end; the exit code, -1 when it did not end in time.
  int finish(int waitMs = 30000) { return process_.finish(std::chrono::milliseconds(waitMs)); }
  QString rest() { return QString::fromStdString(process_.rest()); }

 private:
  std::vector<std::string> arguments(const QString& address, int port, std::int64_t license,
                                     const QString& key, const QStringList& extra) const {
    const QStringList options = QStringList{"--address", address,
                                            "--port",    QString::number(port),
                                            "--license", QString::number(license),
                                            "--key",     key,
                                            "--workdir", QString::fromStdString(dir_.path())} +
                                extra;
    std::vector<std::string> all{std::string(KVN_TEST_SOURCE_DIR) +
                                 "/tests/support/tessel_python_box.py"};
    for (const QString& option : options) all.push_back(option.toStdString());
    return all;
  }

  TempDir dir_;
  SpawnedProcess process_;
  int port_ = 0;
  QByteArray serial_;
};

}  // namespace kvn_test
