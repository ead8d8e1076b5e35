// Whole restorations: files backed up whole and as deltas come back byte
// for byte with their times, at the newest or the first version, into a
// target or to their own place; a broken or stopped restoration leaves the
// files that were there untouched.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "file_operations_fixture.h"
#include "kvn_network/file_operation_protocol.h"

namespace kvn_e2e {
namespace {

constexpr std::time_t kFirst = 1600000000;
constexpr std::time_t kSecond = 1700000000;
constexpr qsizetype kMiB = 1024 * 1024;

// The tree of the first backup: empty to 40 MiB, spaces and non-ASCII names.
ExpectedTree firstTree() {
  ExpectedTree tree;
  tree["empty.bin"] = {{}, kFirst};
  tree["notes and more.txt"] = {QByteArray("first notes\n").repeated(100), kFirst + 1};
  tree[QString::fromUtf8("dossier été/ünïcødé 文件.dat")] = {noise(300 * 1024, 1), kFirst + 2};
  tree["deep/a/b/c/one MiB.bin"] = {noise(kMiB, 2), kFirst + 3};
  tree["big 40 MiB.bin"] = {noise(40 * kMiB, 3), kFirst + 4};
  return tree;
}

// The tree of the second backup: edits that travel as deltas, one new file.
ExpectedTree secondTree(ExpectedTree tree) {
  tree["notes and more.txt"] = {QByteArray("second notes\n").repeated(120), kSecond};
  QByteArray big = tree["big 40 MiB.bin"].content;
  big.replace(17 * kMiB, 4096, noise(4096, 9));
  big.append(noise(12345, 10));
  tree["big 40 MiB.bin"] = {big, kSecond + 1};
  QByteArray deep = tree["deep/a/b/c/one MiB.bin"].content;
  deep.replace(1000, 100, QByteArray(100, 'x'));
  tree["deep/a/b/c/one MiB.bin"] = {deep, kSecond + 2};
  tree["new file.txt"] = {"new\n", kSecond + 3};
  return tree;
}

struct Combination {
  bool crypto;
  bool compression;
  int address;
};

class RestoreRoundTrip : public FileOperationsE2E,
                         public ::testing::WithParamInterface<Combination> {};

TEST_P(RestoreRoundTrip, NewestAndFirstVersionsComeBackWithTheirTimes) {
  const Combination combination = GetParam();
  startBox(combination.address);
  addJob(1, {tree()}, dataSettings(combination.crypto, combination.compression));
  const ExpectedTree first = firstTree();
  writeTree(first);
  ASSERT_EQ(runBackup(1).result, 0u);
  const ExpectedTree second = secondTree(first);
  writeTree(second);
  ASSERT_EQ(runBackup(1).result, 0u);
  ASSERT_TRUE(box().store().newest(1, treePath("big 40 MiB.bin"))->delta);

  const QString newest = scratch("newest");
  restore("op-newest", plan(1, {}, 0), newest);
  expectRestored(second, newest);
  const QString oldest = scratch("oldest");
  restore("op-first", plan(1, {}, 1), oldest);
  expectRestored(first, oldest);
  // Every file of the job both times ("new file.txt" at its only version).
  EXPECT_EQ(fileOperationsBox().results().size(), 2 * second.size());
  for (const auto& result : fileOperationsBox().results()) EXPECT_FALSE(result.failed);

  // Back to the first version in place, over the edited files.
  restore("op-original", plan(1, {}, 1), "ORIGINAL_PATH");
  expectRestored(first, {});
  EXPECT_TRUE(stagedLeftovers(tree()).isEmpty());
  EXPECT_TRUE(record().notes().contains("restore action END"));
}

INSTANTIATE_TEST_SUITE_P(Settings, RestoreRoundTrip,
                         ::testing::Values(Combination{false, false, 1},
                                           Combination{true, false, 2}, Combination{false, true, 3},
                                           Combination{true, true, 4}),
                         [](const auto& info) {
                           return std::string(info.param.crypto ? "Aes" : "Plain") +
                                  (info.param.compression ? "Gzip" : "Raw");
                         });

class RestoreBreaks : public FileOperationsE2E {};

TEST_F(RestoreBreaks, ADroppedConnectionLeavesTheOriginalAndNoTemporaryFile) {
  startBox(10);
  addJob(1, {tree()}, dataSettings(true, true));
  const QByteArray original = noise(40 * kMiB, 21);
  writeTreeFile("big.bin", original, kFirst);
  ASSERT_EQ(runBackup(1).result, 0u);
  // What is on disk now differs from the box's copy.
  const QByteArray local = noise(40 * kMiB, 22);
  writeTreeFile("big.bin", local, kSecond);

  boxsim::RestorePlan chosen = plan(1, {treePath("big.bin")}, 0);
  chosen.closeInFile = 1;
  chosen.closeAfterChunks = 5;
  restore("op-drop", chosen, "ORIGINAL_PATH");

  QFile file(treePath("big.bin"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll() == local);
  EXPECT_EQ(QFileInfo(treePath("big.bin")).lastModified().toSecsSinceEpoch(), kSecond);
  EXPECT_TRUE(stagedLeftovers(tree()).isEmpty()) << stagedLeftovers(tree()).join(",").toStdString();
  EXPECT_TRUE(record().notes().contains("restore dropped " + treePath("big.bin")));
}

TEST_F(RestoreBreaks, AUserStopEndsTheRestorationWithItsReport) {
  startBox(11);
  addJob(1, {tree()}, dataSettings(true, true));
  writeTreeFile("big.bin", noise(40 * kMiB, 31), kFirst);
  writeTreeFile("small.txt", "small", kFirst);
  ASSERT_EQ(runBackup(1).result, 0u);

  boxsim::RestorePlan chosen = plan(1, {treePath("big.bin"), treePath("small.txt")}, 0);
  chosen.chunkSize = 16 * 1024;
  fileOperationsBox().prepareRestoration("op-stop", chosen);
  FileOperationManager manager(context());
  manager.initialize();
  const QString target = scratch("stopped");
  ASSERT_EQ(manager.createExternalRestoration(target, "op-stop"), 0u);
  ASSERT_TRUE(record().waitUntil(
      [](const boxsim::Record& r) { return r.notes().contains("restore action RESTORE"); }));
  EXPECT_EQ(manager.stop("op-stop", true), 0u);
  manager.waitForJob(0);
  manager.finalize();

  EXPECT_TRUE(record().waitUntil([](const boxsim::Record& r) {
    return r.notes().contains(
        QString("report 0x22000000 code 0x%1")
            .arg(kvn_network::report_code::kStoppedByUser, 8, 16, QChar('0')));
  })) << record().notes().join("\n").toStdString();
  EXPECT_FALSE(QFile::exists(target + treePath("small.txt")));
  EXPECT_TRUE(stagedLeftovers(target).isEmpty());
  // Whatever of the big file was written is whole or absent.
  if (QFile::exists(target + treePath("big.bin"))) {
    EXPECT_EQ(QFileInfo(target + treePath("big.bin")).size(), 40 * kMiB);
  }
}

TEST_F(RestoreBreaks, ACountOfZeroEndsAtOnceAndAnErrorCountIsNoCount) {
  startBox(12);
  addJob(1, {tree()}, dataSettings(false, false));
  writeTreeFile("a.txt", "a", kFirst);
  ASSERT_EQ(runBackup(1).result, 0u);

  // Files the box does not hold: nothing to restore.
  restore("op-zero", plan(1, {treePath("missing.txt")}, 0), scratch("zero"));
  EXPECT_TRUE(record().notes().contains("restore op-zero count 0"));
  EXPECT_TRUE(record().notes().contains("restore action END"));
  EXPECT_FALSE(record().notes().contains("restore action RESTORE"));

  // An operation the box does not know: its error code is no file count.
  FileOperationManager manager(context());
  manager.initialize();
  ASSERT_EQ(manager.createExternalRestoration(scratch("unknown"), "op-unknown"), 0u);
  manager.waitForJob(0);
  manager.finalize();
  EXPECT_TRUE(record().notes().contains("restore unknown op-unknown"));
  EXPECT_EQ(record().notes().filter("restore action RESTORE").size(), 0);
  EXPECT_NE(log().find("Error calculating GetRestorationExtFilesNumber"), std::string::npos);
  EXPECT_FALSE(QFileInfo::exists(scratch("unknown")));
}

}  // namespace
}  // namespace kvn_e2e
