// The simulator program (BOXSIM_BINARY) as a child process for the length
// of a test: started with the given arguments, ready once it printed its
// "boxsim ready:" line, stopped with SIGTERM.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace kvn_test {

class BoxsimProcess {
 public:
  BoxsimProcess(const QString& program, const QStringList& arguments) {
    process_.setProgram(program);
    process_.setArguments(arguments);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start();
    // RSA key generation comes before the ready line.
    while (!ready_ && process_.waitForReadyRead(60000)) {
      while (process_.canReadLine()) {
        const QString line = QString::fromUtf8(process_.readLine());
        output_ += line;
        if (line.startsWith("boxsim ready:")) ready_ = true;
      }
    }
  }
  ~BoxsimProcess() { stop(); }
  BoxsimProcess(const BoxsimProcess&) = delete;
  BoxsimProcess& operator=(const BoxsimProcess&) = delete;

  bool ready() const { return ready_; }
  // Everything the program printed, once it has been stopped.
  QString stop() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      process_.waitForFinished(30000);
      exitCode_ = process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
      output_ += QString::fromUtf8(process_.readAllStandardOutput());
      output_ += QString::fromUtf8(process_.readAllStandardError());
    }
    return output_;
  }
  int exitCode() const { return exitCode_; }

 private:
  QProcess process_;
  QString output_;
  bool ready_ = false;
  int exitCode_ = -1;
};

}  // namespace kvn_test
