// Every point of a backup, a restoration and a deletion at which the agent
// is killed, or the box drops the connection; after each, the invariants
// of CrashHarness::expectConsistent hold and the next run recovers.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <map>
#include <string_view>

#include "crash_harness.h"

namespace kvn_crash {
namespace {

struct Cut {
  const char* name;
  const char* point;
  // The local signature of the large file is gone before the run, so that
  // the run downloads it from the box.
  bool loseSignature = false;
};

// The backup points, reached in the run after a full one and a change.
const Cut kBackupCuts[] = {
    {"Prep", "PREP"},
    {"Scripts", "packet:0x10020005"},
    {"Analysis", "INI"},
    {"NewFile", "full:2"},
    {"Delta", "delta:2"},
    {"BetweenFiles", "INFO:2"},
    {"SignatureSent", "signature:1"},
    {"SignatureDownload", "download:1", true},
    {"StoredNotRecorded", "stored"},
    {"DeltaStoredNotRecorded", "answer:0x10020003"},
    {"End", "END"},
};

class BackupCut : public CrashHarness, public ::testing::WithParamInterface<std::tuple<Cut, bool>> {
 protected:
  // A full run, a change, then the cut run.
  void prepareSecondRun(int box) {
    startBox(QString("127.0.24.%1").arg(box));
    startAgent();
    ASSERT_EQ(backupAndWait(), 0x1001u);
    changeTree(1);
    if (std::get<0>(GetParam()).loseSignature) {
      QDirIterator it(signatures(), {"*.sig"}, QDir::Files, QDirIterator::Subdirectories);
      while (it.hasNext()) QFile::remove(it.next());
    }
  }
};

TEST_P(BackupCut, InvariantsHoldAndTheNextRunRecovers) {
  const auto& [cut, kill] = GetParam();
  // Each case has its own box address: ctest runs the cases as separate
  // processes, side by side.
  int index = 0;
  while (std::string_view(kBackupCuts[index].name) != cut.name) ++index;
  prepareSecondRun(10 + 2 * index + (kill ? 1 : 0));
  if (kill)
    killBackupAt(cut.point);
  else
    dropBackupAt(cut.point);
  expectConsistent();
  stopAgent();
}

INSTANTIATE_TEST_SUITE_P(Points, BackupCut,
                         ::testing::Combine(::testing::ValuesIn(kBackupCuts), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Killed" : "Dropped");
                         });

class FileOperationCut : public CrashHarness, public ::testing::WithParamInterface<bool> {
 protected:
  // The content of every file of the tree.
  std::map<QString, QByteArray> snapshot() {
    std::map<QString, QByteArray> files;
    QDirIterator it(tree(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      QFile file(it.next());
      file.open(QIODevice::ReadOnly);
      files[file.fileName()] = file.readAll();
    }
    return files;
  }

  // With kill, the agent is killed where the box holds the operation and
  // started again; otherwise the box drops it there and it ends on its own.
  void cutOperation(bool kill, const char* operation) {
    if (kill) {
      ASSERT_EQ(ctl({"wait-held", "90"}).status, 0);
      killAgent();
      ctl({"trap-clear"});
      startAgent();
    } else {
      EXPECT_TRUE(waitOperationFinished(operation));
      ctl({"trap-clear"});
    }
  }
};

TEST_P(FileOperationCut, RestorationOverExistingFilesReplacesEachWholeOrNotAtAll) {
  const bool kill = GetParam();
  startBox(kill ? "127.0.24.40" : "127.0.24.41");
  startAgent();
  const auto first = snapshot();
  ASSERT_EQ(backupAndWait(), 0x1001u);
  changeTree(1);
  ASSERT_EQ(backupAndWait(), 0x1001u);
  const auto second = snapshot();

  // The first versions back over the changed files, cut in the second
  // chunk of a large one.
  ASSERT_EQ(ctl({"prepare-restore", "op-restore", "--job", "1", "--version", "1"}).status, 0);
  ASSERT_EQ(ctl({kill ? "hold" : "drop", "download:2"}).status, 0);
  ASSERT_EQ(ctl({"launch-action", "restore", "ORIGINAL_PATH;op-restore"}).status, 0);
  ASSERT_NO_FATAL_FAILURE(cutOperation(kill, "op-restore"));
  for (const auto& [path, content] : snapshot()) {
    if (QFileInfo(path).fileName().startsWith(".zlvrestore-")) continue;  // not an original
    const auto before = second.find(path);
    const auto original = first.find(path);
    const bool whole = (before != second.end() && before->second == content) ||
                       (original != first.end() && original->second == content);
    EXPECT_TRUE(whole) << path.toStdString() << " is neither the old nor the restored file";
  }
  // The box tries again: the restoration ends whole and leaves nothing of
  // the cut one behind.
  ASSERT_EQ(ctl({"prepare-restore", "op-again", "--job", "1", "--version", "1"}).status, 0);
  ASSERT_EQ(ctl({"launch-action", "restore", "ORIGINAL_PATH;op-again"}).status, 0);
  EXPECT_TRUE(waitOperationFinished("op-again"));
  for (const auto& [path, content] : snapshot()) {
    EXPECT_FALSE(QFileInfo(path).fileName().startsWith(".zlvrestore-")) << path.toStdString();
    const auto original = first.find(path);
    if (original != first.end()) {
      EXPECT_EQ(content, original->second) << path.toStdString();
    }
  }
  expectConsistent();
  stopAgent();
}

TEST_P(FileOperationCut, DeletionCutBetweenTwoFiles) {
  const bool kill = GetParam();
  startBox(kill ? "127.0.24.42" : "127.0.24.43");
  startAgent();
  ASSERT_EQ(backupAndWait(), 0x1001u);
  ASSERT_EQ(ctl({"prepare-delete", "op-delete", "--job", "1", tree() + "/small/0.txt",
                 tree() + "/small/1.txt", tree() + "/small/2.txt"})
                .status,
            0);
  ASSERT_EQ(ctl({kill ? "hold" : "drop", "packet:0x62000101:3"}).status, 0);
  ASSERT_EQ(ctl({"launch-action", "delete", "op-delete"}).status, 0);
  ASSERT_NO_FATAL_FAILURE(cutOperation(kill, "op-delete"));
  expectConsistent();
  stopAgent();
}

// The box names the files it dropped and is cut while it answers with the
// second: each named file is then either still held and recorded, or gone
// from both the box and the agent's records.
TEST_P(FileOperationCut, ExternalDeletionCutWhileTheBoxNamesAFile) {
  const bool kill = GetParam();
  startBox(kill ? "127.0.34.10" : "127.0.34.11");
  startAgent();
  ASSERT_EQ(backupAndWait(), 0x1001u);
  QStringList named;
  for (int i = 0; i < 3; ++i) named << tree() + QString("/small/%1.txt").arg(i);
  ASSERT_EQ(ctl(QStringList{"prepare-delete", "op-extdel", "--job", "1"} + named).status, 0);
  ASSERT_EQ(ctl({kill ? "hold" : "drop", "answer:0x62000101:2"}).status, 0);
  ASSERT_EQ(ctl({"launch-action", "delete", "op-extdel"}).status, 0);
  ASSERT_NO_FATAL_FAILURE(cutOperation(kill, "op-extdel"));
  for (const QString& path : named) {
    const bool recorded =
        scalar(QString("SELECT COUNT(*) FROM file WHERE job_id = 1 AND path = '%1' AND lastwrite "
                       "IS NOT NULL;")
                   .arg(path))
            .toInt() > 0;
    EXPECT_EQ(recorded, boxHolds(path)) << path.toStdString();
  }
  expectConsistent();
  stopAgent();
}

INSTANTIATE_TEST_SUITE_P(Cuts, FileOperationCut, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Killed" : "Dropped"; });

}  // namespace
}  // namespace kvn_crash
