#include "process_runner.h"

#include <QProcessEnvironment>

namespace kvn_test {

ProcessRunner::ProcessRunner(QString program) : program_(std::move(program)) {
  // Under the sanitizers, a child that made an HTTPS call can exit while
  // Qt's network thread still holds OpenSSL's per-thread state;
  // LeakSanitizer would fail the child for it. The suppressions match such
  // an allocation by its first frame inside libcrypto, which the default
  // frame-pointer unwinder gives; the slow unwinder is not asked for, since
  // it makes every allocation of a child ten times dearer. Inert without ASan.
  setEnv("LSAN_OPTIONS",
         "print_suppressions=0:suppressions=" KVN_TEST_SOURCE_DIR "/tests/support/lsan.supp");
}

void ProcessRunner::setEnv(const QString& name, const QString& value) { env_[name] = value; }

ProcessResult ProcessRunner::run(const QStringList& arguments, std::chrono::milliseconds timeout) {
  if (!start(arguments)) {
    ProcessResult r;
    r.crashed = true;
    return r;
  }
  return finish(timeout);
}

bool ProcessRunner::start(const QStringList& arguments) {
  process_ = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const auto& [name, value] : env_) env.insert(name, value);
  process_->setProcessEnvironment(env);
  process_->start(program_, arguments);
  return process_->waitForStarted(10000);
}

qint64 ProcessRunner::pid() const { return process_ ? process_->processId() : 0; }

ProcessResult ProcessRunner::finish(std::chrono::milliseconds timeout) {
  ProcessResult r;
  if (!process_->waitForFinished(static_cast<int>(timeout.count()))) {
    r.timedOut = true;
    process_->kill();
    process_->waitForFinished(5000);
  }
  r.crashed = process_->exitStatus() == QProcess::CrashExit;
  r.exitCode = process_->exitCode();
  r.standardOutput = QString::fromLocal8Bit(process_->readAllStandardOutput());
  r.standardError = QString::fromLocal8Bit(process_->readAllStandardError());
  return r;
}

}  // namespace kvn_test
