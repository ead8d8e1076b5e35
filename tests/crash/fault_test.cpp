// Faults of the machine rather than of the conversation: a full disk under
// the signatures and under the database, signatures damaged between runs,
// the clock set back a day. Runs in a private mount namespace of its own
// (the small file systems are mounted there); skipped when that is refused.
#include <sched.h>
#include <sys/mount.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <chrono>
#include <thread>

#include "crash_harness.h"

namespace kvn_crash {
namespace {

// Before main, while the process has one thread: a mount namespace of its
// own, whose mounts the agent and the simulator started from here share.
const bool privateMounts = [] {
  if (::unshare(CLONE_NEWNS) != 0) return false;
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}();

bool run(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
         process.exitCode() == 0;
}

bool mountTmpfs(const QString& folder, const QString& size) {
  QDir().mkpath(folder);
  return run("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder});
}

bool resize(const QString& folder, const QString& size) {
  return run("mount", {"-o", "remount,size=" + size, folder});
}

class Fault : public CrashHarness {
 protected:
  void SetUp() override {
    if (!privateMounts) GTEST_SKIP() << "no private mount namespace (needs root)";
  }
  // Damage to every signature kept: one cut short, the others overwritten
  // in the middle (same size, so the size check cannot see it).
  void damageSignatures() {
    QDirIterator it(signatures(), {"*.sig"}, QDir::Files, QDirIterator::Subdirectories);
    bool first = true;
    while (it.hasNext()) {
      QFile file(it.next());
      ASSERT_TRUE(file.open(QIODevice::ReadWrite));
      if (first) {
        file.resize(file.size() / 2);
      } else {
        file.seek(file.size() / 2);
        file.write(QByteArray(16, '\x5a'));
      }
      first = false;
    }
  }
};

TEST_F(Fault, AFullSignatureFolderFailsFilesCleanlyAndTheRunAfterRecovers) {
  startBox("127.0.24.60");
  // Room for about two signatures of the large files.
  ASSERT_TRUE(mountTmpfs(signatures(), "40k"));
  startAgent();
  const auto status = backupAndWait();
  ASSERT_TRUE(status.has_value());
  EXPECT_GT(scalar("SELECT nErrors FROM backup ORDER BY id DESC LIMIT 1;").toInt(), 0)
      << "a full disk must be reported";
  expectConsistent(false);

  ASSERT_TRUE(resize(signatures(), "64m"));
  expectConsistent();
  stopAgent();
}

TEST_F(Fault, AFullDatabaseDiskLeavesTheDatabaseIntactAndTheRunAfterRecovers) {
  startBox("127.0.24.61");
  startAgent();
  ASSERT_EQ(backupAndWait(), 0x1001u);
  stopAgent();

  // The agent's folder moves onto a file system with little room left; the
  // signatures get one of their own, so that only the database runs short.
  const QString folder = data() + "/Zelvo";
  const QString aside = data() + "/Zelvo.disk";
  ASSERT_TRUE(QDir().rename(folder, aside));
  ASSERT_TRUE(mountTmpfs(folder, "400k"));
  ASSERT_TRUE(run("cp", {"-a", aside + "/.", folder + "/"}));
  ASSERT_TRUE(run("rm", {"-rf", folder + "/Signatures"}));
  ASSERT_TRUE(mountTmpfs(folder + "/Signatures", "64m"));
  ASSERT_TRUE(run("cp", {"-a", aside + "/Signatures/.", folder + "/Signatures/"}));
  // Fill what is left but a little.
  run("dd", {"if=/dev/zero", "of=" + folder + "/filler", "bs=4k", "count=1000"});
  QFile::resize(folder + "/filler", QFileInfo(folder + "/filler").size() - 96 * 1024);

  startAgent();
  for (int round = 1; round <= 3; ++round) {
    changeTree(round);
    QDir().mkpath(tree() + "/many");
    for (int i = 0; i < 40; ++i) {
      QFile file(tree() + QString("/many/%1-%2.txt").arg(round).arg(i));
      file.open(QIODevice::WriteOnly);
      file.write(QByteArray(100, char('a' + round)));
    }
    launchBackup();
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  killAgent();

  // However the runs ended, the database is whole once it can be opened.
  QFile::remove(folder + "/filler");
  ASSERT_TRUE(resize(folder, "64m"));
  EXPECT_EQ(integrity().toStdString(), "ok");
  startAgent();
  expectConsistent();
  stopAgent();
}

TEST_F(Fault, DamagedSignaturesAreFetchedFromTheBoxAgain) {
  startBox("127.0.24.62");
  startAgent();
  ASSERT_EQ(backupAndWait(), 0x1001u);
  damageSignatures();
  // Every file changes, so that every damaged signature would be a basis.
  changeTree(1);
  QDirIterator it(tree(), QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFile file(it.next());
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("more\n");
  }
  expectConsistent();
  stopAgent();
}

// The time-faking library, loaded into the agent by env, which runs the
// agent in its own place: the faketime tool forks and waits instead, so
// stopping it would leave the agent running on. Empty when not installed.
QString fakeTimeLibrary() {
  for (const QFileInfo& dir : QDir("/usr/lib").entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QString library = dir.filePath() + "/faketime/libfaketimeMT.so.1";
    if (QFileInfo::exists(library)) return library;
  }
  return {};
}

TEST_F(Fault, TheClockSetBackADayMissesNoFileAndLeavesNoRowOpen) {
  const QString library = fakeTimeLibrary();
  if (library.isEmpty()) GTEST_SKIP() << "libfaketime is not installed";
  startBox("127.0.24.63");
  startAgent();
  ASSERT_EQ(backupAndWait(), 0x1001u);
  stopAgent();
  changeTree(1);
  setAgentWrapper({"env", "LD_PRELOAD=" + library, "FAKETIME=-1d"});
  startAgent();
  expectConsistent();
  stopAgent();
}

}  // namespace
}  // namespace kvn_crash
