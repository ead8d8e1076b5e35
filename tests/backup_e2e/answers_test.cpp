// What the box answers decides what happens to files and runs: conflicts,
// refused runs, quotas, job types the agent cannot run; and a file that
// vanishes during the run costs one error, not the run.
#include <QFile>
#include <QFileInfo>

#include "backup_e2e_fixture.h"
#include "boxsim/backup_store.h"

namespace kvn_e2e {
namespace {

constexpr std::time_t kFirstWrite = 1710000000;

std::vector<boxsim::FileDescription> descriptionsOf(const boxsim::Record& record,
                                                    const QString& path, std::size_t first = 0) {
  std::vector<boxsim::FileDescription> found;
  const auto all = record.descriptions();
  for (std::size_t i = first; i < all.size(); ++i) {
    if (all[i].path == path) found.push_back(all[i]);
  }
  return found;
}

bool dataSent(const boxsim::Record& record, const QString& path, std::size_t first = 0) {
  const auto all = record.backupData();
  for (std::size_t i = first; i < all.size(); ++i) {
    if (all[i].path == path && all[i].kind != 11) return true;
  }
  return false;
}

using BoxAnswers = BackupE2E;

TEST_F(BoxAnswers, ConflictsAreResolvedFilePerFileAndTheRunGoesOn) {
  constexpr std::int64_t kJob = 8;
  startBox(142);
  const QString ae = treePath("ae.txt");
  const QString known = treePath("known.txt");
  const QString five = treePath("five.txt");
  const QString plain = treePath("plain.txt");
  writeTreeFile("ae.txt", "the box has it already", kFirstWrite);
  writeTreeFile("known.txt", "first version", kFirstWrite + 1);
  writeTreeFile("five.txt", "never accepted", kFirstWrite + 2);
  writeTreeFile("plain.txt", "plain", kFirstWrite + 3);
  addJob(kJob, {tree()});
  boxsim::BackupScript script;
  script.conflicts[ae] = {"AE"};
  script.conflicts[five] = {"YA", "YB", "RN", "GS", "GC"};
  box().setScript(script);

  RunOutcome run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  // "AE": recorded as if sent, without data.
  EXPECT_FALSE(dataSent(record(), ae));
  EXPECT_EQ(recordedLastWrite(kJob, ae), QVariant(qlonglong(kFirstWrite)));
  // Five conflicts: five descriptions, each retried as new, then given up.
  const auto fiveTries = descriptionsOf(record(), five);
  ASSERT_EQ(fiveTries.size(), 5u);
  for (const auto& d : fiveTries) EXPECT_FALSE(d.hasPrevious);
  EXPECT_FALSE(dataSent(record(), five));
  EXPECT_FALSE(recordedLastWrite(kJob, five).isValid());
  // The others went through.
  EXPECT_EQ(run.verify.passed, 2);
  EXPECT_EQ(run.verify.mismatches,
            QStringList({"missing on box: " + ae, "missing on box: " + five}));

  // "SY" to a known file: its record goes and the next attempt sends it new.
  writeTreeFile("known.txt", "second version", kFirstWrite + 100);
  script = {};
  script.conflicts[known] = {"SY"};
  box().setScript(script);
  const std::size_t descriptionsBefore = record().descriptions().size();
  const std::size_t dataBefore = record().backupData().size();
  run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  const auto knownTries = descriptionsOf(record(), known, descriptionsBefore);
  ASSERT_EQ(knownTries.size(), 2u);
  EXPECT_TRUE(knownTries[0].hasPrevious);
  EXPECT_EQ(knownTries[0].answer, "SY");
  EXPECT_FALSE(knownTries[1].hasPrevious);
  EXPECT_EQ(knownTries[1].versionNumber, 1);
  EXPECT_TRUE(dataSent(record(), known, dataBefore));
  EXPECT_EQ(recordedLastWrite(kJob, known), QVariant(qlonglong(kFirstWrite + 100)));
  EXPECT_EQ(scalar(QString("SELECT COUNT(*) FROM file WHERE path='%1'").arg(known)).toInt(), 1);
  // Without its conflicts the fifth file goes too; "AE" stays unsent.
  EXPECT_EQ(run.verify.mismatches, QStringList({"missing on box: " + ae}));
  EXPECT_EQ(run.verify.passed, 3);
}

TEST_F(BoxAnswers, RunsTheBoxOrTheAgentRefuse) {
  startBox(143);
  writeTreeFile("f.txt", "content", kFirstWrite);
  writeTreeFile("g.txt", "content too", kFirstWrite + 1);

  // Job types this agent does not run: no row, one report.
  const std::pair<std::int64_t, QString> types[] = {{21, "weird"}};
  for (const auto& [job, type] : types) {
    JobSettings settings;
    settings.type = type;
    addJob(job, {tree()}, settings);
    const RunOutcome run = runBackup(job);
    EXPECT_EQ(run.result, 0xEFFEEFF9u);
    EXPECT_EQ(rowCount(job), 0);
    EXPECT_NE(
        log().find(QString("Invalid job type %1 for job %2").arg(type).arg(job).toStdString()),
        std::string::npos);
  }
  EXPECT_TRUE(boxGotReport(0x10000));

  // PREP "not permitted": the row goes again.
  addJob(22, {tree()});
  boxsim::BackupScript script;
  script.notPermitted = true;
  box().setScript(script);
  runBackup(22);
  EXPECT_EQ(rowCount(22), 0);
  EXPECT_NE(log().find("Backup not permitted"), std::string::npos);

  // Quota on INI: nothing is sent, the run ends failed with the quota bit.
  addJob(23, {tree()});
  script = {};
  script.quotaOnIni = true;
  box().setScript(script);
  RunOutcome run = runBackup(23);
  EXPECT_EQ(run.row.status, 0x1012);
  EXPECT_TRUE(run.row.limitExceeded);
  EXPECT_TRUE(run.row.lastTime.isValid() && !run.row.lastTime.isNull());
  EXPECT_EQ(run.verify.passed, 0);
  EXPECT_TRUE(boxGotReport(0x80000));

  // Quota on the first file's BACKUP: that file stays, the other goes, and
  // the run is not a success.
  addJob(24, {tree()});
  script = {};
  script.quotaOnBackup = 1;
  box().setScript(script);
  run = runBackup(24);
  EXPECT_EQ(run.row.status & 0x1011, 0x1010);
  EXPECT_TRUE(run.row.limitExceeded);
  EXPECT_EQ(run.verify.passed, 1);

  // An error as the box's final answer: counted, and the run failed.
  addJob(25, {tree()});
  script = {};
  script.finalError = 0x10050000;
  box().setScript(script);
  run = runBackup(25);
  EXPECT_EQ(run.row.status, 0x100A);
  EXPECT_EQ(run.row.errors, 1);
  EXPECT_FALSE(run.row.limitExceeded);
}

// A file's INFO and BACKUP leave with the confirmation of the file before
// it; a refusal of that BACKUP must still keep its description and data
// back, and fail that file alone.
TEST_F(BoxAnswers, ARefusedBackupOfAFileAnnouncedAheadKeepsThatFileBack) {
  constexpr std::int64_t kJob = 26;
  startBox(146);
  const QString refused = treePath("b.txt");
  writeTreeFile("a.txt", "first", kFirstWrite);
  writeTreeFile("b.txt", "refused", kFirstWrite + 1);
  writeTreeFile("c.txt", "third", kFirstWrite + 2);
  addJob(kJob, {tree()});
  boxsim::BackupScript script;
  script.quotaOnBackup = 2;
  box().setScript(script);

  const RunOutcome run = runBackup(kJob);
  EXPECT_TRUE(run.row.limitExceeded);
  EXPECT_EQ(run.row.status & 0x1011, 0x1010);
  EXPECT_TRUE(descriptionsOf(record(), refused).empty());
  EXPECT_FALSE(dataSent(record(), refused));
  EXPECT_FALSE(recordedLastWrite(kJob, refused).isValid());
  EXPECT_EQ(run.verify.passed, 2);
  EXPECT_EQ(run.verify.mismatches, QStringList({"missing on box: " + refused}));
  EXPECT_NE(log().find("Error SendBackupAction"), std::string::npos);
}

TEST_F(BoxAnswers, FilesTheBoxWantsFixedAndVersionsWithoutLastWriteAreSentWhole) {
  constexpr std::int64_t kJob = 15;
  startBox(150);
  const QString fix = treePath("fix.txt");
  const QString broken = treePath("broken.txt");
  writeTreeFile("fix.txt", "the box lost this one", kFirstWrite);
  writeTreeFile("broken.txt", "its record has no last write", kFirstWrite + 1);
  writeTreeFile("fine.txt", "nothing to do", kFirstWrite + 2);
  addJob(kJob, {tree()});
  ASSERT_EQ(runBackup(kJob).row.status, 0x1001);
  sql(QString("UPDATE file SET lastwrite=NULL WHERE path='%1'").arg(broken));

  boxsim::BackupScript script;
  script.filesToFix = {fix};
  box().setScript(script);
  const std::size_t before = record().backupData().size();
  RunOutcome run = runBackup(kJob);
  // The file to fix goes whole although it did not change.
  bool fixSentWhole = false;
  const auto data = record().backupData();
  for (std::size_t i = before; i < data.size(); ++i) {
    fixSentWhole = fixSentWhole || (data[i].path == fix && data[i].kind == 10);
  }
  EXPECT_TRUE(fixSentWhole);
  EXPECT_EQ(box().store().versions(kJob, fix).size(), 2u);
  EXPECT_EQ(recordedLastWrite(kJob, fix), QVariant(qlonglong(kFirstWrite)));
  EXPECT_TRUE(QFileInfo::exists(signaturePath(kJob, fix, kFirstWrite)));
  // A version without last write: one error, its record dropped, reported.
  EXPECT_EQ(run.row.errors, 1);
  EXPECT_EQ(run.row.status, 0x1009);
  EXPECT_FALSE(recordedLastWrite(kJob, broken).isValid());
  EXPECT_TRUE(boxGotReport(0x90000, 0x10000101));
  EXPECT_NE(log().find("Error: GetVersionCount"), std::string::npos);
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();

  // The next run sends that one as new.
  box().setScript({});
  run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(recordedLastWrite(kJob, broken), QVariant(qlonglong(kFirstWrite + 1)));
  EXPECT_EQ(box().store().versions(kJob, broken).size(), 2u);
  EXPECT_EQ(scalar(QString("SELECT COUNT(*) FROM file WHERE path='%1'").arg(fix)).toInt(), 1);
}

TEST_F(BoxAnswers, AFileThatVanishesDuringTheRunIsOneError) {
  constexpr std::int64_t kJob = 9;
  startBox(144);
  const QString victim = treePath("m_victim.txt");
  writeTreeFile("a_first.txt", "first", kFirstWrite);
  writeTreeFile("m_victim.txt", "gone before its turn", kFirstWrite + 1);
  writeTreeFile("z_after.txt", "after", kFirstWrite + 2);
  // A pre-backup script that fails does not fail the run either.
  JobSettings settings;
  settings.preScript = "echo before the run\nexit 3\n";
  addJob(kJob, {tree()}, settings);
  // Files go in name order: once the first is stored, the second goes.
  box().store().setObserver([&](const boxsim::StoredVersion& version) {
    if (version.path == treePath("a_first.txt")) QFile::remove(victim);
  });

  const RunOutcome run = runBackup(kJob);
  box().store().setObserver({});
  EXPECT_EQ(run.row.errors, 1);
  EXPECT_EQ(run.row.status, 0x1009);
  EXPECT_FALSE(recordedLastWrite(kJob, victim).isValid());
  EXPECT_EQ(run.verify.passed, 2);
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
  EXPECT_TRUE(boxGotReport(0x31000, 0x10000108));
  const auto scripts = record().scriptResults();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0].kind, 0);
  EXPECT_EQ(scripts[0].exitCode, 3);
  EXPECT_TRUE(scripts[0].output.contains("before the run")) << scripts[0].output.toStdString();
}

}  // namespace
}  // namespace kvn_e2e
