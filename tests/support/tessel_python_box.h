// Runs tessel_python_box.py, the box's end of the Tessel channel without
// Qt, on a loopback address for the length of a test.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include "temp_dir.h"

namespace kvn_test {

class TesselPythonBox {
 public:
  // extra: further options of the script (--serial, --after-hello, --query).
  TesselPythonBox(const QString& address, int port, std::int64_t license, const QString& key,
                  const QStringList& extra = {}) {
    process_.setProgram("python3");
    process_.setArguments(
        QStringList{QString(KVN_TEST_SOURCE_DIR) + "/tests/support/tessel_python_box.py",
                    "--address", address, "--port", QString::number(port), "--license",
                    QString::number(license), "--key", key, "--workdir",
                    QString::fromStdString(dir_.path())} +
        extra);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start();
    // "ready <port> <serial text>" comes once the certificate is made.
    const QStringList ready = readLine(60000).split(' ');
    if (ready.size() == 3 && ready[0] == "ready") {
      port_ = ready[1].toInt();
      serial_ = ready[2].toLatin1();
    }
  }
  ~TesselPythonBox() {
    process_.kill();
    process_.waitForFinished();
  }

  bool listening() const { return port_ > 0; }
  int port() const { return port_; }
  // The certificate's serial number as the script wrote it.
  const QByteArray& serial() const { return serial_; }

  // The next line the script prints, without its end; empty after waitMs.
  QString readLine(int waitMs = 10000) {
    while (!process_.canReadLine())
      if (!process_.waitForReadyRead(waitMs)) return {};
    return QString::fromUtf8(process_.readLine()).trimmed();
  }
  // Waits for the end; the exit code, -1 when it did not end in time.
  int finish(int waitMs = 30000) {
    if (!process_.waitForFinished(waitMs)) return -1;
    return process_.exitCode();
  }
  QString rest() { return QString::fromUtf8(process_.readAll() + process_.readAllStandardError()); }

 private:
  TempDir dir_;
  QProcess process_;
  int port_ = 0;
  QByteArray serial_;
};

}  // namespace kvn_test
