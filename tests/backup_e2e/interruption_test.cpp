// Runs broken off in the middle of a file, by the user, by an upgrade or by
// the box going away: the row is closed with the right bits, the version
// that was not confirmed leaves no trace, and the next run sends it again.
#include <QDirIterator>
#include <QFileInfo>
#include <atomic>
#include <chrono>
#include <thread>

#include "backup/backup.h"
#include "backup_e2e_fixture.h"
#include "boxsim/backup_store.h"

namespace kvn_e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::time_t kFirstWrite = 1720000000;
constexpr qsizetype kMiB = 1024 * 1024;

// Stops the run once the box has the description of path and its data has
// had a moment to start flowing.
std::function<void(Backup&)> stopDuring(boxsim::Record& record, const QString& path,
                                        bool forUpgrade) {
  return [&record, path, forUpgrade](Backup& backup) {
    // Only this run's descriptions count.
    const std::size_t first = record.descriptions().size();
    const bool described = record.waitUntil([&](const boxsim::Record& r) {
      const auto all = r.descriptions();
      for (std::size_t i = first; i < all.size(); ++i) {
        if (all[i].path == path) return true;
      }
      return false;
    });
    if (!described) return;
    std::this_thread::sleep_for(20ms);
    backup.requestStop(forUpgrade);
  };
}

bool errorReportStartsWith(const boxsim::Record& record, const QString& prefix) {
  for (const auto& report : record.errorReports()) {
    if (report.text.startsWith(prefix)) return true;
  }
  return false;
}

// Signatures left under their temporary name: a file prepared ahead and
// never sent must take its signature with it.
QStringList partFiles(const QString& folder) {
  QStringList found;
  QDirIterator it(folder, {"*.part"}, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) found << it.next();
  return found;
}

using Interruptions = BackupE2E;

TEST_F(Interruptions, AStopInTheMiddleOfAFileLeavesNoTraceOfIt) {
  startBox(145);
  const QString big = treePath("a_big.bin");
  writeTreeFile("a_big.bin", noise(48 * kMiB, 11), kFirstWrite);
  writeTreeFile("b_small.txt", "small", kFirstWrite + 1);
  struct Stop {
    std::int64_t job;
    bool forUpgrade;
    std::int32_t status;
    std::uint32_t report;
  };
  for (const Stop& stop : {Stop{10, false, 0x1080, 0x20000}, Stop{11, true, 0x1200, 0x21000}}) {
    SCOPED_TRACE(testing::Message() << "job " << stop.job);
    addJob(stop.job, {tree()});
    const RunOutcome run = runBackup(stop.job, stopDuring(record(), big, stop.forUpgrade));
    ASSERT_TRUE(run.row.exists);
    EXPECT_EQ(run.row.status, stop.status);
    EXPECT_EQ(run.row.errors, 0);
    EXPECT_TRUE(run.row.lastTime.isValid() && !run.row.lastTime.isNull());
    EXPECT_TRUE(boxGotReport(stop.report));
    EXPECT_FALSE(recordedLastWrite(stop.job, big).isValid());
    EXPECT_FALSE(QFileInfo::exists(signaturePath(stop.job, big, kFirstWrite)));
    EXPECT_FALSE(box().store().newest(stop.job, big).has_value());
    EXPECT_FALSE(
        QFileInfo::exists(signaturePath(stop.job, treePath("b_small.txt"), kFirstWrite + 1)));
    EXPECT_EQ(partFiles(signaturesDir()), QStringList());
    EXPECT_EQ(run.verify.passed, 0);
  }
  // A stop is not logged as the file's failure.
  EXPECT_EQ(log().find("cannot backup " + big.toStdString()), std::string::npos);
  EXPECT_TRUE(errorReportStartsWith(record(), "$e0000041"));
  EXPECT_TRUE(errorReportStartsWith(record(), "$e0000042"));

  const RunOutcome rerun = runBackup(10);
  EXPECT_EQ(rerun.row.status, 0x1001);
  EXPECT_EQ(rerun.verify.passed, 2);
  EXPECT_EQ(rerun.verify.failed, 0) << rerun.verify.mismatches.join("\n").toStdString();
  EXPECT_TRUE(QFileInfo::exists(signaturePath(10, big, kFirstWrite)));
}

TEST_F(Interruptions, TheBoxGoingAwayMidFileFailsTheRunAndTheNextRunResends) {
  constexpr std::int64_t kJob = 12;
  startBox(147);
  const QString cut = treePath("a.bin");
  writeTreeFile("a.bin", noise(4 * kMiB, 12), kFirstWrite);
  writeTreeFile("b.txt", "after the cut", kFirstWrite + 1);
  addJob(kJob, {tree()});
  boxsim::BackupScript script;
  script.closeAfterDataChunks = 2;
  box().setScript(script);

  RunOutcome run = runBackup(kJob);
  EXPECT_EQ(run.row.status & 0x1003, 0x1002);
  EXPECT_TRUE(run.row.lastTime.isValid() && !run.row.lastTime.isNull());
  EXPECT_FALSE(QFileInfo::exists(signaturePath(kJob, cut, kFirstWrite)));
  EXPECT_FALSE(recordedLastWrite(kJob, cut).isValid());
  EXPECT_FALSE(box().store().newest(kJob, cut).has_value());
  EXPECT_FALSE(QFileInfo::exists(signaturePath(kJob, treePath("b.txt"), kFirstWrite + 1)));
  EXPECT_EQ(partFiles(signaturesDir()), QStringList());
  EXPECT_NE(log().find("Exception sending full version: " + cut.toStdString() + " Exception"),
            std::string::npos);

  box().setScript({});
  run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.verify.passed, 2);
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
  EXPECT_EQ(recordedLastWrite(kJob, cut), QVariant(qlonglong(kFirstWrite)));
}

}  // namespace
}  // namespace kvn_e2e
