// The run reads through the snapshot library of the test build: a volume
// the library cannot freeze is read live and reported, and a frozen volume
// gives the box the files as they were when the snapshot was taken.
#include <sys/mount.h>

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "backup/backup.h"
#include "backup_e2e_fixture.h"
#include "boxsim/backup_store.h"
#include "kvn_platform/filesystem.h"
#include "mount_namespace.h"

namespace kvn_e2e {
namespace {

constexpr std::time_t kFirstWrite = 1730000000;

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const QString& value) : name_(name) {
    ::setenv(name, value.toLocal8Bit().constData(), 1);
  }
  ~ScopedEnv() { ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

using Snapshots = BackupE2E;

TEST_F(Snapshots, AVolumeWithoutSnapshotIsReadLiveAndReported) {
  constexpr std::int64_t kJob = 13;
  startBox(148);
  writeTreeFile("a.txt", "read live", kFirstWrite);
  writeTreeFile("b/c.txt", "read live too", kFirstWrite + 1);
  addJob(kJob, {tree()});
  // The volume the run asks a snapshot of: the mount point holding the tree.
  std::vector<kvn_platform::MountEntry> mounts;
  int error = 0;
  ASSERT_TRUE(kvn_platform::readMountTable(mounts, &error)) << error;
  const QString volume = QString::fromStdString(
      kvn_platform::mountPointOf(mounts, QFile::encodeName(tree()).toStdString()));
  ASSERT_FALSE(volume.isEmpty());
  const ScopedEnv refuse("KVN_TEST_SNAPSHOT_FAIL", volume);
  ASSERT_TRUE(useSnapshotLibrary(KVN_VSS_TEST_LIBRARY));

  const RunOutcome run = runBackup(kJob);
  // A local failure of the job, yet every file went: the closing adds the
  // success bit because the failure bit 0x0002 is clear.
  EXPECT_EQ(run.row.status, 0x1009);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_TRUE(boxGotReport(0x61000));
  bool text = false;
  for (const auto& report : record().errorReports()) text = text || report.text == "$e0000046.";
  EXPECT_TRUE(text);
  EXPECT_NE(log().find("Backup VSS error"), std::string::npos);
  EXPECT_EQ(run.verify.passed, 2);
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
}

TEST_F(Snapshots, TheBoxGetsTheFileAsItWasWhenTheSnapshotWasTaken) {
  KVN_IN_MOUNT_NAMESPACE();
  // The tree is a volume of its own, so the test library freezes only it.
  KVN_MOUNT_OR_SKIP("none", QFile::encodeName(tree()).constData(), "tmpfs", 0);
  constexpr std::int64_t kJob = 14;
  startBox(149);
  const QByteArray frozen = "as the snapshot saw it";
  writeTreeFile("frozen.txt", frozen, kFirstWrite);
  writeTreeFile("other.txt", "unchanged", kFirstWrite + 1);
  addJob(kJob, {tree()});
  const QString ready = QString::fromStdString(file("snapshot-ready"));
  const ScopedEnv readyFile("KVN_TEST_SNAPSHOT_READY_FILE", ready);
  const ScopedEnv hold("KVN_TEST_SNAPSHOT_HOLD", "1");
  const ScopedEnv copies("KVN_TEST_SNAPSHOT_DIR", QString::fromStdString(file("snapshots")));
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(file("snapshots"))));
  ASSERT_TRUE(useSnapshotLibrary(KVN_VSS_TEST_LIBRARY));

  bool changed = false;
  const RunOutcome run = runBackup(kJob, [&](Backup&) {
    // The library holds the run until the ready file goes.
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!QFileInfo::exists(ready) && std::chrono::steady_clock::now() < end) QThread::msleep(20);
    if (!QFileInfo::exists(ready)) return;
    QFile live(treePath("frozen.txt"));
    changed = live.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
              live.write("changed live after the snapshot") > 0;
    live.close();
    setLastWrite(treePath("frozen.txt"), kFirstWrite + 50);
    QFile::remove(ready);
  });
  ASSERT_TRUE(changed);
  EXPECT_EQ(run.row.status, 0x1001);
  const auto stored = box().store().newest(kJob, treePath("frozen.txt"));
  ASSERT_TRUE(stored.has_value());
  QFile content(stored->contentPath);
  ASSERT_TRUE(content.open(QIODevice::ReadOnly));
  EXPECT_EQ(content.readAll(), frozen);
  EXPECT_EQ(stored->lastWrite, kFirstWrite);
  EXPECT_EQ(recordedLastWrite(kJob, treePath("frozen.txt")), QVariant(qlonglong(kFirstWrite)));
  // Against the live tree only the file changed after the snapshot differs.
  EXPECT_EQ(run.verify.passed, 1);
  EXPECT_EQ(run.verify.failed, 1);
}

}  // namespace
}  // namespace kvn_e2e
