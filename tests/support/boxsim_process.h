// The simulator program (BOXSIM_BINARY) as a child process for the length
// of a test: started with the given arguments, ready once it printed its
// "boxsim ready:" line, stopped with SIGTERM.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>

#include "spawned_process.h"
#include "tool_runner.h"

namespace kvn_test {

class BoxsimProcess {
 public:
  BoxsimProcess(const QString& program, const QStringList& arguments)
      : process_(program.toStdString(), toStdStrings(arguments)) {
    // RSA key generation comes before the ready line.
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!ready_ && process_.started() && !process_.outputEnded()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      const std::string line = process_.readLine(left);
      if (!line.empty()) output_ += QString::fromStdString(line) + '\n';
      ready_ = line.rfind("boxsim ready:", 0) == 0;
    }
  }
  ~BoxsimProcess() { stop(); }
  BoxsimProcess(const BoxsimProcess&) = delete;
  BoxsimProcess& operator=(const BoxsimProcess&) = delete;

  bool ready() const { return ready_; }
  // Everything the program printed, once it has been stopped.
  QString stop() {
    if (!stopped_ && process_.started()) {
      stopped_ = true;
      process_.terminate();
      exitCode_ = process_.finish(std::chrono::seconds(30));
      output_ += QString::fromStdString(process_.rest());
    }
    return output_;
  }
  int exitCode() const { return exitCode_; }

 private:
  SpawnedProcess process_;
  QString output_;
  bool ready_ = false;
  bool stopped_ = false;
  int exitCode_ = -1;
};

}  // namespace kvn_test
