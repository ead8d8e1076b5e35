#include "upgrade/updatelauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cerrno>
#include <memory>
#include <vector>

#include "kvn_log/log.h"

namespace {

constexpr int kCommandTimeoutMs = 30000;

struct CommandResult {
  int exitCode = -1;
  QString output;
};

CommandResult runCommand(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  CommandResult result;
  if (!process.waitForStarted(kCommandTimeoutMs) || !process.waitForFinished(kCommandTimeoutMs)) {
    result.output = process.errorString();
    process.kill();
    process.waitForFinished(1000);
    return result;
  }
  result.output = QString::fromLocal8Bit(process.readAll()).trimmed();
  result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  return result;
}

QString unitFile() { return QString(UpdateLauncher::kUnitName) + ".service"; }

bool unitKnown() {
  const CommandResult result =
      runCommand("systemctl", {"show", "--property=LoadState", "--value", unitFile()});
  return result.exitCode == 0 && result.output != "not-found";
}

bool isDebianPackage(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray head = file.read(21);
  return head.startsWith("!<arch>\n") && head.endsWith("debian-binary");
}

// Writes errno to the pipe when exec fails; the close-on-exec end tells the
// parent that exec worked.
[[noreturn]] void execOrReport(const std::vector<QByteArray>& argv, int reportFd) {
  std::vector<char*> pointers;
  for (const QByteArray& argument : argv) pointers.push_back(const_cast<char*>(argument.data()));
  pointers.push_back(nullptr);
  ::execv(pointers[0], pointers.data());
  const int error = errno;
  [[maybe_unused]] const auto written = ::write(reportFd, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

bool systemdRuns() { return QFileInfo(QStringLiteral("/run/systemd/system")).isDir(); }

std::unique_ptr<UpdateLauncher> makeUpdateLauncher() {
  if (systemdRuns()) {
    KLOG_I("update program runs as the transient systemd unit %s", UpdateLauncher::kUnitName);
    return std::make_unique<SystemdUpdateLauncher>();
  }
  KLOG_I("no systemd: the update program runs as a detached process");
  return std::make_unique<DetachedUpdateLauncher>();
}

void SystemdUpdateLauncher::removeLeftover() {
  if (unitKnown()) removeUnit();
}

bool SystemdUpdateLauncher::removeUnit() {
  const CommandResult stopped = runCommand("systemctl", {"stop", unitFile()});
  if (stopped.exitCode != 0) KLOG_D("Failed to stop ZlvUpdate service %d", stopped.exitCode);
  // A failed unit stays loaded until reset.
  runCommand("systemctl", {"reset-failed", unitFile()});
  if (unitKnown()) {
    KLOG_W("Failed to delete ZlvUpdate service %d", stopped.exitCode);
    return false;
  }
  KLOG_I("ZlvUpdate service deleted");
  return true;
}

bool SystemdUpdateLauncher::start(const QStringList& command) {
  const QStringList arguments =
      QStringList{QString("--unit=%1").arg(kUnitName), "--collect", "--quiet"} + command;
  if (unitKnown()) {
    KLOG_W("ZlvUpdate service has not been cleaned, retrying");
    if (!removeUnit()) {
      KLOG_W(
          "Failed to delete ZlvUpdate service %d, trying to restart updater with existing "
          "service",
          -1);
      const CommandResult restarted = runCommand("systemctl", {"restart", unitFile()});
      if (restarted.exitCode != 0) {
        KLOG_E("Failed to start ZlvUpdate service %d", restarted.exitCode);
        return false;
      }
      KLOG_I("ZlvUpdate service started...");
      return true;
    }
  }
  const CommandResult started = runCommand("systemd-run", arguments);
  if (started.exitCode != 0) {
    KLOG_E("Failed to start ZlvUpdate service %d", started.exitCode);
    if (!started.output.isEmpty()) KLOG_E("systemd-run: %s", qPrintable(started.output));
    return false;
  }
  KLOG_I("ZlvUpdate service started...");
  return true;
}

bool DetachedUpdateLauncher::start(const QStringList& command) {
  std::vector<QByteArray> argv;
  for (const QString& part : command) argv.push_back(QFile::encodeName(part));
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    KLOG_E("Failed to start ZlvUpdate service %d", errno);
    return false;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    KLOG_E("Failed to start ZlvUpdate service %d", error);
    return false;
  }
  if (child == 0) {
    // The middle process only makes the session and leaves, so that the
    // program is nobody's child here and survives the agent's stop.
    ::close(report[0]);
    ::setsid();
    ::signal(SIGHUP, SIG_IGN);
    const pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      if (null > STDERR_FILENO) ::close(null);
    }
    ::signal(SIGHUP, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    execOrReport(argv, report[1]);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int execError = 0;
  ssize_t got = 0;
  do {
    got = ::read(report[0], &execError, sizeof execError);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    KLOG_E("Failed to start ZlvUpdate service %d", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return false;
  }
  if (got == sizeof execError) {
    KLOG_E("Failed to start ZlvUpdate service %d", execError);
    return false;
  }
  KLOG_I("ZlvUpdate service started...");
  return true;
}

QStringList updateCommand(const QString& updatePath, const QString& baseDir) {
  if (isDebianPackage(updatePath)) return {"/usr/bin/dpkg", "-i", updatePath};
  return {updatePath, baseDir};
}

bool installUpdate(const QString& updatePath, const QString& baseDir, UpdateLauncher& launcher) {
  const QFileInfo program(updatePath);
  if (!program.exists() || program.size() == 0) {
    KLOG_W("Skipping service update (invalid update file)");
    return true;
  }
  launcher.start(updateCommand(updatePath, baseDir));
  return true;
}
