// Backup scripts run through the real /bin/sh.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QFileInfo>

#include "backup/processexecutor.h"
#include "byte_tree.h"
#include "core_app_environment.h"
#include "log_capture.h"
#include "process_runner.h"
#include "temp_dir.h"

namespace {

class ProcessExecutorTest : public ::testing::Test {
 protected:
  QDir worker() const { return QDir(QString::fromStdString(dir_.path())); }

  kvn_test::TempDir dir_;
};

TEST_F(ProcessExecutorTest, CollectsOutputLinesAndTheExitCode) {
  ProcessExecutor executor(worker(), 42, ProcessExecutor::PreBackup);
  const QString script = QStringLiteral(
      "echo 'first line'\n"
      "echo '{'\n"
      "echo\n"
      "echo '   padded   '\n"
      "echo 'to stderr' >&2\n"
      "read answer\n"  // standard input is closed, so this does not wait
      "echo \"read:$answer\"\n"
      "echo '}'\n"
      "printf 'no line break'\n"
      "exit 3\n");
  ASSERT_TRUE(executor.run(script, true, 30000));
  EXPECT_EQ(executor.exitCode(), 3);
  const QStringList lines = executor.output().split('\n');
  EXPECT_TRUE(executor.output().endsWith('\n'));
  EXPECT_EQ(lines.size(), 6) << executor.output().toStdString();  // five lines and ""
  for (const char* expected : {"first line", "padded", "to stderr", "read:", "no line break"})
    EXPECT_TRUE(lines.contains(QString::fromUtf8(expected))) << expected;
  EXPECT_FALSE(lines.contains("{"));
  EXPECT_FALSE(lines.contains("}"));
  EXPECT_FALSE(executor.running());
}

TEST_F(ProcessExecutorTest, FileNamesAsTheBoxShowsThemReachTheirOriginalBytes) {
  // The box shows a Latin-1 byte as U+EF00 + byte and "|" as U+F07C; a
  // script that names such files must touch the real ones.
  const QString folder = QString::fromStdString(dir_.path());
  const QString script = QStringLiteral("printf one > '%1/caf%2.txt'\nprintf two > '%1/a%3b'\n")
                             .arg(folder, QChar(0xEFE9), QChar(0xF07C));
  ProcessExecutor executor(worker(), 5, ProcessExecutor::PreBackup);
  ASSERT_TRUE(executor.run(script, true, 30000));
  EXPECT_EQ(executor.exitCode(), 0) << executor.output().toStdString();
  const kvn_test::ByteTree files = kvn_test::readByteTree(dir_.path());
  EXPECT_EQ(files.count("caf\xE9.txt"), 1u);
  EXPECT_EQ(files.count("a|b"), 1u);
}

TEST_F(ProcessExecutorTest, SilentScriptGivesEmptyOutput) {
  ProcessExecutor executor(worker(), 7, ProcessExecutor::PostBackup);
  ASSERT_TRUE(executor.run("exit 0\n", true, 30000));
  EXPECT_EQ(executor.exitCode(), 0);
  EXPECT_TRUE(executor.output().isEmpty());
  // A second run starts with a fresh output.
  ASSERT_TRUE(executor.run("echo again\n", true, 30000));
  EXPECT_EQ(executor.output(), "again\n");
}

TEST_F(ProcessExecutorTest, ScriptFileLivesInTheWorkFolderForTheExecutorsLife) {
  const QString pre = worker().filePath("42_PreBScript.sh");
  {
    ProcessExecutor executor(worker(), 42, ProcessExecutor::PreBackup);
    EXPECT_EQ(executor.scriptPath(), pre);
    EXPECT_EQ(ProcessExecutor(worker(), 42, ProcessExecutor::PostBackup).scriptPath(),
              worker().filePath("42_PostBScript.sh"));
    ASSERT_TRUE(executor.run("echo \"$0\"\n", true, 30000));
    EXPECT_EQ(executor.output(), pre + "\n");
    ASSERT_TRUE(QFile::exists(pre));
    EXPECT_EQ(QFileInfo(pre).permissions() &
                  (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  EXPECT_FALSE(QFile::exists(pre));
}

TEST_F(ProcessExecutorTest, CrashingScriptGivesMinusOne) {
  kvn_test::LogCapture capture;
  ProcessExecutor executor(worker(), 1, ProcessExecutor::PreBackup);
  ASSERT_TRUE(executor.run("echo dying\nkill -SEGV $$\necho unreachable\n", true, 30000));
  EXPECT_EQ(executor.exitCode(), -1);
  EXPECT_EQ(executor.output(), "dying\n");
  EXPECT_NE(capture.text().find("process exit status is 1"), std::string::npos);
}

bool processGone(qint64 pid) {
  // A zombie waiting for its reaper counts as gone: it runs no more.
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return true;
  const QByteArray fields = stat.readAll();
  const qsizetype close = fields.lastIndexOf(')');
  return close >= 0 && fields.mid(close + 2, 1) == "Z";
}

TEST_F(ProcessExecutorTest, ScriptThatNeverEndsIsKilledWithItsCommands) {
  kvn_test::LogCapture capture;
  const QString pidFile = worker().filePath("sleeper.pid");
  ProcessExecutor executor(worker(), 5, ProcessExecutor::PostBackup);
  executor.setFinishLimit(std::chrono::seconds(1));
  ASSERT_TRUE(
      executor.run(QStringLiteral("echo started\nsleep 600 &\necho $! > '%1'\nwait\n").arg(pidFile),
                   true, 30000));
  EXPECT_EQ(executor.exitCode(), -1);
  EXPECT_EQ(executor.output(), "started\n");
  const std::string log = capture.text();
  EXPECT_NE(
      log.find(executor.scriptPath().toStdString() + " didn't finished before the 1 s timeout"),
      std::string::npos)
      << log;

  QFile file(pidFile);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const qint64 sleeper = file.readAll().trimmed().toLongLong();
  ASSERT_GT(sleeper, 0);
  EXPECT_TRUE(kvn_test::waitFor([&] { return processGone(sleeper); }, std::chrono::seconds(30)));
}

TEST_F(ProcessExecutorTest, UnwritableScriptIsReportedNotRun) {
  kvn_test::LogCapture capture;
  const QDir missing(worker().filePath("no-such-folder"));
  ProcessExecutor executor(missing, 9, ProcessExecutor::PreBackup);
  EXPECT_FALSE(executor.run("echo never\n", true, 30000));
  EXPECT_EQ(executor.exitCode(), -1);
  EXPECT_TRUE(executor.output().isEmpty());
  const std::string log = capture.text();
  EXPECT_NE(log.find("Cannot create " + executor.scriptPath().toStdString() + " : "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Cannot create the script file"), std::string::npos);
}

}  // namespace
