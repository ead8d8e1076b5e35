#include "backup/processexecutor.h"

#include <signal.h>
#include <unistd.h>

#include <QFile>
#include <QMutexLocker>
#include <algorithm>
#include <climits>

#include "kvn_log/log.h"
#include "kvn_platform/text_path_qt.h"

namespace {

constexpr int kKillWaitMs = 30000;

}  // namespace

ProcessExecutor::ProcessExecutor(const QDir& workerFolder, qint64 jobId, ScriptKind kind,
                                 QObject* parent)
    : QObject(parent),
      path_(
          workerFolder.filePath(QStringLiteral("%1%2").arg(jobId).arg(
              kind == PreBackup ? QStringLiteral("_PreBScript") : QStringLiteral("_PostBScript"))) +
          QStringLiteral(".sh")) {
  process_.setReadChannel(QProcess::StandardOutput);
  process_.setChildProcessModifier([] { ::setpgid(0, 0); });
  connect(&process_, &QProcess::readyReadStandardOutput, this,
          [this] { readStandardOutput(false); });
  connect(&process_, &QProcess::readyReadStandardError, this, [this] { readStandardError(); });
  connect(&process_, &QProcess::started, this, [this] {
    KLOG_I("process started");
    running_ = true;
  });
  connect(&process_, &QProcess::finished, this, [this] {
    KLOG_I("process exited");
    running_ = false;
    // A last line without a line break is output too.
    readStandardOutput(true);
    readStandardError();
  });
}

ProcessExecutor::~ProcessExecutor() {
  if (process_.state() != QProcess::NotRunning) killScript();
  QFile::remove(path_);
}

bool ProcessExecutor::run(const QString& script, bool wait, int startTimeout) {
  {
    QMutexLocker lock(&mutex_);
    output_.clear();
  }
  if (!writeScript(script)) {
    KLOG_E("Cannot create the script file");
    return false;
  }
  process_.start(QStringLiteral("/bin/sh"), {path_}, QIODevice::ReadWrite);
  if (!process_.waitForStarted(startTimeout)) {
    KLOG_E("%s didn't started before the %ds timeout", qUtf8Printable(path_), startTimeout / 1000);
    return false;
  }
  started_ = true;
  // Nobody types into a backup script: a read from standard input sees its
  // end instead of waiting for the finish limit.
  process_.closeWriteChannel();
  if (wait) waitForEnd();
  return true;
}

bool ProcessExecutor::writeScript(const QString& script) {
  KLOG_D("Creating %s", qUtf8Printable(path_));
  QFile file(path_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    KLOG_E("Cannot create %s : %s", qUtf8Printable(path_), qUtf8Printable(file.errorString()));
    return false;
  }
  // The box shows file names as the agent's text paths; the shell needs
  // their bytes.
  const std::string bytes = kvn_platform::toNativePath(script);
  // A short write (full disk) would run half a script.
  const bool written =
      file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size()) && file.flush();
  if (!written) {
    KLOG_E("Cannot create %s : %s", qUtf8Printable(path_), qUtf8Printable(file.errorString()));
    return false;
  }
  file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  file.close();
  return true;
}

void ProcessExecutor::waitForEnd() {
  const int limitMs = static_cast<int>(std::min<std::chrono::milliseconds::rep>(
      std::max<std::chrono::milliseconds::rep>(finishLimit_.count(), 0), INT_MAX));
  // False also when the script ended before the wait began.
  if (process_.waitForFinished(limitMs) || process_.state() == QProcess::NotRunning) return;
  KLOG_W("%s didn't finished before the %d s timeout", qUtf8Printable(path_), limitMs / 1000);
  KLOG_W("Killing %s", qUtf8Printable(path_));
  killScript();
}

void ProcessExecutor::killScript() {
  const qint64 pid = process_.processId();
  if (pid > 0) ::kill(-static_cast<pid_t>(pid), SIGKILL);
  process_.kill();
  process_.waitForFinished(kKillWaitMs);
}

qint32 ProcessExecutor::exitCode() const {
  // A script that never ran has already been reported by run().
  if (!started_) return -1;
  if (process_.state() == QProcess::NotRunning && process_.exitStatus() == QProcess::NormalExit)
    return process_.exitCode();
  KLOG_I("process exit status is %d", static_cast<int>(process_.exitStatus()));
  return -1;
}

QString ProcessExecutor::output() const {
  QMutexLocker lock(&mutex_);
  return output_;
}

void ProcessExecutor::readStandardOutput(bool toEnd) {
  QMutexLocker lock(&mutex_);
  while (process_.canReadLine()) appendText(process_.readLine());
  if (toEnd) appendText(process_.readAll());
}

void ProcessExecutor::readStandardError() {
  QMutexLocker lock(&mutex_);
  appendText(process_.readAllStandardError());
}

void ProcessExecutor::appendText(QByteArray text) {
  // The line break does not count: a line of one character (a lone brace
  // of a block) is noise.
  while (text.endsWith('\n') || text.endsWith('\r')) text.chop(1);
  if (text.size() <= 1) return;
  output_ += QString::fromUtf8(text).trimmed() + QLatin1Char('\n');
}
