// Runs a backup job's pre- or post-backup script: writes it to a shell
// script in the agent's work folder, runs it with /bin/sh, collects what it
// prints and gives its exit code. A script that never ends is killed after
// a limit, so that it cannot hold the backup for ever.
#pragma once

#include <QDir>
#include <QMutex>
#include <QObject>
#include <QProcess>
#include <QString>
#include <chrono>

class ProcessExecutor : public QObject {
  Q_OBJECT

 public:
  enum ScriptKind { PreBackup = 0, PostBackup = 1 };

  static constexpr std::chrono::milliseconds kDefaultFinishLimit = std::chrono::hours(2);

  // The script file is "<job id>_PreBScript.sh" or "<job id>_PostBScript.sh"
  // in workerFolder; it exists only for the life of the executor.
  ProcessExecutor(const QDir& workerFolder, qint64 jobId, ScriptKind kind,
                  QObject* parent = nullptr);
  ~ProcessExecutor() override;

  // Writes and starts the script; startTimeout (ms) bounds its start. With
  // wait, returns once it has ended or has been killed at the finish limit.
  // False when the script could not be written or started.
  bool run(const QString& script, bool wait, int startTimeout);

  // How long run() waits for the script to end before killing it.
  void setFinishLimit(std::chrono::milliseconds limit) { finishLimit_ = limit; }

  // The script's exit code, or -1 when it did not end normally (crashed,
  // killed, never started, still running).
  qint32 exitCode() const;

  // Every output line longer than one character, trimmed and followed by
  // "\n"; standard output and standard error together.
  QString output() const;

  const QString& scriptPath() const { return path_; }
  bool running() const { return running_; }

 private:
  bool writeScript(const QString& script);
  // Waits up to the finish limit; kills the script when it is reached.
  void waitForEnd();
  // The shell runs in a process group of its own, so that the commands it
  // started go with it.
  void killScript();
  void readStandardOutput(bool toEnd);
  void readStandardError();
  // Under mutex_.
  void appendText(QByteArray text);

  QString path_;
  QProcess process_;
  bool running_ = false;
  bool started_ = false;
  std::chrono::milliseconds finishLimit_ = kDefaultFinishLimit;
  mutable QMutex mutex_;
  QString output_;
};
