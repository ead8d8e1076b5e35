// The shared agent set-up must produce what the agent itself reads: a job
// whose configuration and selection load through the backup's own code,
// and a settings file the credentials accept.
#include <gtest/gtest.h>

#include <QSqlQuery>
#include <atomic>

#include "agent_backup_setup.h"
#include "backup/file/fsnjob.h"
#include "connection/credentials.h"
#include "core_app_environment.h"
#include "temp_dir.h"

namespace {

class AgentSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kvn_test::createAgentDatabase(QString::fromStdString(dir_.file("zlv.db"))), "");
  }
  QString path(const char* name) const { return QString::fromStdString(dir_.file(name)); }

  kvn_test::TempDir dir_;
};

TEST_F(AgentSetupTest, JobLoadsWithItsSettingsAndSelection) {
  kvn_test::FileBackupJob job;
  job.jobId = 7;
  job.selected = {path("tree"), path("other/") + "/"};
  job.useCompression = false;
  ASSERT_EQ(kvn_test::addFileBackupJob(job), "");
  kvn_test::FileBackupJob second;
  second.jobId = 8;
  second.selected = {path("elsewhere")};
  ASSERT_EQ(kvn_test::addFileBackupJob(second), "") << "a second job has its own rows";

  QSqlQuery config(kvn_agent_database::AgentDatabase::instance().database());
  ASSERT_TRUE(config.exec(
      "SELECT config_max_num_versions_to_save, job_type, use_crypto, use_compression FROM job "
      "WHERE job_id=7;"));
  ASSERT_TRUE(config.next());
  EXPECT_EQ(config.value(0).toInt(), 10);
  EXPECT_EQ(config.value(1).toString(), "fsn");
  EXPECT_TRUE(config.value(2).toBool());
  EXPECT_FALSE(config.value(3).toBool());

  std::atomic<bool> stop{false};
  FSNJob fsn(7, path("Signatures"), std::make_shared<SnapshotContext>(&stop));
  QSqlDatabase db = kvn_agent_database::AgentDatabase::instance().database();
  ASSERT_EQ(fsn.load(db), 0u);
  QStringList selected;
  for (const auto& paths : fsn.selection()) selected << paths;
  selected.sort();
  EXPECT_EQ(selected, (QStringList{path("other"), path("tree")}));
  EXPECT_TRUE(fsn.exclusionPatterns().isEmpty());
}

TEST_F(AgentSetupTest, PreScriptIsFoundByTheRunsQueryAndOtherTypesAreKept) {
  kvn_test::FileBackupJob job{4, {path("a")}};
  job.preScript = QString::fromUtf8("echo \"été\"\nexit 3\n");
  job.jobType = "sysimg";
  ASSERT_EQ(kvn_test::addFileBackupJob(job), "");
  ASSERT_EQ(kvn_test::addFileBackupJob({5, {path("b")}}), "");
  QSqlQuery query(kvn_agent_database::AgentDatabase::instance().database());
  for (const qlonglong id : {4, 5}) {
    ASSERT_TRUE(query.exec(
        QString("SELECT post.script AS post_backup_script, pre.script AS pre_backup_script, "
                "job.job_type FROM job LEFT JOIN prepost_backup_script pre ON "
                "job.pre_backup_script_id=pre.id LEFT JOIN prepost_backup_script post ON "
                "job.post_backup_script_id=post.id WHERE job.job_id=%1;")
            .arg(id)));
    ASSERT_TRUE(query.next());
    const QString pre =
        QString::fromUtf8(QByteArray::fromBase64(query.value(1).toString().toLatin1()));
    EXPECT_TRUE(query.value(0).isNull());
    EXPECT_EQ(pre, id == 4 ? job.preScript : QString());
    EXPECT_EQ(query.value(2).toString(), id == 4 ? "sysimg" : "fsn");
  }
}

TEST_F(AgentSetupTest, DuplicateJobIsReportedNotIgnored) {
  ASSERT_EQ(kvn_test::addFileBackupJob({3, {path("a")}}), "");
  EXPECT_NE(kvn_test::addFileBackupJob({3, {path("b")}}), "");
}

TEST_F(AgentSetupTest, SettingsFilePairsTheAgent) {
  kvn_test::AgentPairing pairing;
  pairing.boxIp = "127.0.0.171";
  ASSERT_EQ(kvn_test::writePairedSettings(path("zlv.ini"), pairing), "");
  Credentials credentials(path("zlv.ini"));
  ASSERT_TRUE(credentials.load());
  EXPECT_EQ(credentials.boxIp(), "127.0.0.171");
  EXPECT_EQ(credentials.cryptkey(), pairing.cryptkey);
  EXPECT_EQ(credentials.licenseStorage(), 4242);
  EXPECT_EQ(credentials.licenseAgent(), 17);
  EXPECT_FALSE(credentials.resetAgent());
  EXPECT_NE(kvn_test::writePairedSettings(path("missing/folder/zlv.ini"), pairing), "");
}

}  // namespace
