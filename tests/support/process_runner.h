// Runs a program of the build as a child process with its own environment,
// for tests that need the real process: exit codes, signals, log files.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

namespace kvn_test {

struct ProcessResult {
  int exitCode = -1;
  bool crashed = false;
  bool timedOut = false;
  QString standardOutput;
  QString standardError;
};

class ProcessRunner {
 public:
  explicit ProcessRunner(QString program);

  void setEnv(const QString& name, const QString& value);

  // Runs to completion, killing the child after timeout.
  ProcessResult run(const QStringList& arguments,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // Starts without waiting; finish() waits for the end.
  bool start(const QStringList& arguments);
  qint64 pid() const;
  ProcessResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  QString program_;
  std::map<QString, QString> env_;
  std::unique_ptr<QProcess> process_;
};

// Polls condition every 20 ms until it holds or timeout passes.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

}  // namespace kvn_test
