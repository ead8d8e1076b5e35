// The job-configuration download against the simulated box: what lands in
// the job tables, what a failing file or download leaves behind, the reset
// flag, and the start-up thread with its retrying update action.
#include <gtest/gtest.h>

#include <QSettings>
#include <QSqlQuery>
#include <atomic>

#include "backup/file/selection.h"
#include "core_app_environment.h"
#include "job_config_fixture.h"
#include "jobconfig/jobdatabaseupdater.h"
#include "jobconfig/updateaction.h"
#include "jobconfig/updatejobcfgthread.h"
#include "kvn_log/errors.h"
#include "process_runner.h"

namespace {

using namespace std::chrono_literals;

class JobUpdateTest : public kvn_test::JobConfigTest {
 protected:
  // Job 7 backs up a folder every minute, minus a sub-folder, with a
  // pre-backup script; job 8 is a weekly system image.
  std::vector<boxsim::JobDefinition> twoJobs() {
    boxsim::JobDefinition files;
    files.id = 7;
    files.name = "Ann's %1 documents";
    files.created = 1700000000;
    files.useCrypto = false;
    files.paths = {dataDir() + "/"};
    files.exclusions = {dataDir() + "/tmp/"};
    files.preScript = "echo 'before'";
    boxsim::JobDefinition image;
    image.id = 8;
    image.type = "sysimg";
    image.schedule = {false, 22, 30, 0x11, 0, 0};
    return {files, image};
  }
  // One file job over another folder; applied, it would change every table.
  std::vector<boxsim::JobDefinition> otherJob() {
    boxsim::JobDefinition job;
    job.id = 9;
    job.paths = {dataDir() + "/other"};
    return {job};
  }
  QString dataDir() const { return QString::fromStdString(dir_.path()) + "/data"; }

  std::uint32_t update(bool reset = false) {
    JobDatabaseUpdater updater("Test", context());
    const std::uint32_t result = updater.initialize();
    return result != KVN_OK ? result : updater.updateJobs(reset);
  }
  // A good file, then a file whose third line fails.
  QByteArray failingOnThirdLine() {
    QByteArray file = jobFileOf(otherJob());
    const QList<QByteArray> lines = file.split('\n');
    return lines[0] + "\n" + lines[1] + "\nINSERT INTO job (no_such_column) VALUES (1);\n" +
           lines[2];
  }
};

TEST_F(JobUpdateTest, ADownloadFillsTheJobTablesAndTheSelectionReadsBack) {
  ASSERT_TRUE(QDir().mkpath(dataDir() + "/tmp"));
  QByteArray file = jobFileOf(twoJobs());
  // Blank lines and lines of spaces between the statements are skipped.
  file.replace("\n", "\n\n   \n\t\r\n");
  startBox("127.0.0.120", {{file}});
  credentials("127.0.0.120");
  kvn_log::setLevel(kvn_log::Debug);

  ASSERT_EQ(update(), KVN_OK) << log_.text();

  EXPECT_EQ(scalar("SELECT COUNT(*) FROM job").toInt(), 2);
  EXPECT_EQ(scalar("SELECT job_name FROM job WHERE job_id=7").toString(), "Ann's %1 documents");
  EXPECT_EQ(scalar("SELECT use_crypto || use_compression || job_type || job_ctime FROM job "
                   "WHERE job_id=7")
                .toString(),
            "01fsn1700000000");
  EXPECT_EQ(scalar("SELECT is_periodic || ',' || sched_hour || ',' || sched_min || ',' || "
                   "sched_day_of_week FROM scheduler WHERE sched_id=8")
                .toString(),
            "0,22,30,17");
  const QString pre = scalar(
                          "SELECT pre.script FROM job JOIN prepost_backup_script pre ON "
                          "job.pre_backup_script_id=pre.id WHERE job.job_id=7")
                          .toString();
  EXPECT_EQ(QByteArray::fromBase64(pre.toLatin1()), "echo 'before'");

  QSqlDatabase db = database().database();
  Selection selection;
  ASSERT_EQ(loadSelection(db, 7, selection), KVN_OK);
  ASSERT_EQ(selection.size(), 1);
  EXPECT_EQ(selection.first(), QStringList({dataDir()}));
  QStringList exclusions;
  ASSERT_EQ(loadExclusionPatterns(db, 7, exclusions), KVN_OK);
  EXPECT_EQ(exclusions, QStringList({dataDir() + "/tmp/*"}));

  const auto lines = boxsim::jobSqlLines(twoJobs(), nullptr).value();
  EXPECT_EQ(QString::fromStdString(log_.text()).count("query executed from file: "), lines.size());
  const auto& record = box_->record();
  ASSERT_TRUE(record.waitUntil(
      [](const boxsim::Record& r) { return r.notes().contains("confirm 0x70000006"); }));
  EXPECT_EQ(record.operations().at(0).name, "PRZ_INITIAL");
  EXPECT_EQ(record.notes().mid(0, 2),
            QStringList({"job config request reset 0", "job file request"}));
}

TEST_F(JobUpdateTest, TheResetFlagIsClearedOnlyByASuccessfulUpdate) {
  startBox("127.0.0.121", {{jobFileOf(twoJobs())}, /*abortTransfer=*/true});
  Credentials& agent = credentials("127.0.0.121", "127.0.0.1:1", true);

  EXPECT_NE(update(agent.resetAgent()), KVN_OK);
  EXPECT_TRUE(agent.resetAgent());

  service_->setScript({{jobFileOf(twoJobs())}});
  ASSERT_EQ(update(agent.resetAgent()), KVN_OK) << log_.text();
  EXPECT_FALSE(agent.resetAgent());
  EXPECT_FALSE(QSettings(iniPath(), QSettings::IniFormat).value("zelvo/reset_agent").toBool());
  EXPECT_EQ(box_->record().notes().count("job config request reset 1"), 2);
}

TEST_F(JobUpdateTest, AFailedDownloadOrFileLeavesThePreviousJobsExactlyInForce) {
  startBox("127.0.0.122", {{jobFileOf(twoJobs())}});
  credentials("127.0.0.122");
  ASSERT_EQ(update(), KVN_OK) << log_.text();
  const QStringList before = jobTables();
  ASSERT_FALSE(before.isEmpty());

  service_->setScript({{failingOnThirdLine()}});
  EXPECT_EQ(update(), KVN_E_FAILED);
  EXPECT_EQ(jobTables(), before);
  EXPECT_TRUE(logged("sql statement 'INSERT INTO job (no_such_column) VALUES (1);' failed"))
      << log_.text();
  EXPECT_TRUE(logged("setupJobsFromFile failed with (0xeffeeffe)"));

  boxsim::JobConfigScript aborted{{jobFileOf(otherJob())}};
  aborted.abortTransfer = true;
  service_->setScript(aborted);
  EXPECT_NE(update(), KVN_OK);
  EXPECT_EQ(jobTables(), before);
  EXPECT_TRUE(logged("Receive SqlJobFile file: ")) << log_.text();
  EXPECT_TRUE(logged("downloadJobsFile failed with (0x"));
}

TEST_F(JobUpdateTest, AFailedStartUpPassHandsOverToTheRetryThreadUntilAPassSucceeds) {
  startBox("127.0.0.123", {{failingOnThirdLine(), failingOnThirdLine(), jobFileOf(twoJobs())}});
  credentials("127.0.0.123");
  JobConfigUpdateAction retry([this] { return context(); }, 50ms);

  UpdateJobCfgThread thread(context(), retry);
  thread.start();
  ASSERT_TRUE(thread.wait(QDeadlineTimer(60s)));
  ASSERT_TRUE(kvn_test::waitFor([&] { return !retry.isRunning(); }, 120s)) << log_.text();

  EXPECT_TRUE(logged("Error job configuration updateJobs 0xeffeeffe")) << log_.text();
  EXPECT_TRUE(logged("updater.updateJobs error 0xeffeeffe"));
  EXPECT_EQ(retry.passes(), 2);  // the failing one at once, the good one after the interval
  EXPECT_EQ(service_->filesServed(), 3);
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM job").toInt(), 2);
}

TEST_F(JobUpdateTest, OneRetryThreadAtATimeRepeatsOnRequestAndEndsOnStop) {
  startBox("127.0.0.124", {{failingOnThirdLine()}});
  credentials("127.0.0.124");
  JobConfigUpdateAction retry([this] { return context(); }, std::chrono::hours(1));

  EXPECT_EQ(retry.launch(), KVN_OK);
  ASSERT_TRUE(kvn_test::waitFor([&] { return retry.passes() == 1; }, 60s));
  // A second request finds the thread waiting: it repeats its pass at once.
  EXPECT_EQ(retry.launch(), KVN_OK);
  ASSERT_TRUE(kvn_test::waitFor([&] { return retry.passes() == 2; }, 60s));
  EXPECT_TRUE(retry.isRunning());
  EXPECT_EQ(box_->record().operations().size(), 2u);

  retry.stop();
  EXPECT_FALSE(retry.isRunning());
  EXPECT_EQ(retry.passes(), 2);
}

// A stop from the thread's own pass cannot wait for itself: the thread ends
// after that pass instead of waiting out the retry interval, and is joined
// by the next call from another thread.
TEST_F(JobUpdateTest, AStopFromTheThreadItselfEndsItAfterItsPass) {
  startBox("127.0.26.10", {{failingOnThirdLine()}});
  credentials("127.0.26.10");
  std::atomic<bool> stopFromPass{true};
  JobConfigUpdateAction* self = nullptr;
  JobConfigUpdateAction retry(
      [&] {
        if (stopFromPass.exchange(false)) self->stop();
        return context();
      },
      std::chrono::hours(1));
  self = &retry;

  EXPECT_EQ(retry.launch(), KVN_OK);
  ASSERT_TRUE(kvn_test::waitFor([&] { return !retry.isRunning(); }, 60s));
  EXPECT_EQ(retry.passes(), 1);
  // A new launch starts a thread that retries as usual.
  EXPECT_EQ(retry.launch(), KVN_OK);
  ASSERT_TRUE(kvn_test::waitFor([&] { return retry.passes() == 2; }, 60s));
  EXPECT_TRUE(retry.isRunning());
  retry.stop();
  EXPECT_FALSE(retry.isRunning());
}

TEST_F(JobUpdateTest, AnAgentWithoutABoxAddressContactsNobody) {
  startBox("127.0.0.125", {{jobFileOf(twoJobs())}});
  // The box would be reachable as the datanode.
  credentials("", "127.0.0.125");
  JobConfigUpdateAction retry([this] { return context(); }, 50ms);

  UpdateJobCfgThread thread(context(), retry);
  thread.start();
  ASSERT_TRUE(thread.wait(QDeadlineTimer(60s)));
  EXPECT_FALSE(retry.isRunning());
  EXPECT_EQ(retry.passes(), 0);
  EXPECT_EQ(box_->record().connections(), 0);
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM job").toInt(), 0);
}

}  // namespace
