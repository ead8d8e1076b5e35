// A job file may only read and write the job tables: anything else fails
// the update and leaves every table, the schema and the files around the
// database as they were.
#include <gtest/gtest.h>

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

#include "job_config_fixture.h"
#include "jobconfig/jobdatabaseupdater.h"
#include "jobconfig/jobfileconfinement.h"
#include "kvn_log/errors.h"

namespace {

class JobFileConfinementTest : public kvn_test::JobConfigTest {
 protected:
  void SetUp() override {
    JobConfigTest::SetUp();
    boxsim::JobDefinition job;
    job.id = 7;
    job.paths = {"/srv/data/"};
    good_ = jobFileOf({job});
    sql("INSERT INTO file (path, job_id, lastwrite) VALUES ('/srv/data/a', 7, 100);");
    sql("INSERT INTO backup (start_time, last_time, status, job_id) VALUES (1, 2, 4097, 7);");
  }

  std::uint32_t update() {
    JobDatabaseUpdater updater("Test", context());
    const std::uint32_t result = updater.initialize();
    return result != KVN_OK ? result : updater.updateJobs(false);
  }
  // Everything a job file must not change.
  QStringList state() {
    QStringList all = jobTables() + rowsOf({"file", "backup", "sqlite_master"});
    all << "version " + scalar("PRAGMA user_version").toString();
    return all;
  }
  QString path(const char* name) const { return QString::fromStdString(file(name)); }

  QByteArray good_;
};

TEST_F(JobFileConfinementTest, StatementsBeyondTheJobTablesFailAndChangeNothing) {
  startBox("127.0.0.126", {{good_}});
  credentials("127.0.0.126");
  ASSERT_EQ(update(), KVN_OK) << log_.text();
  const QStringList before = state();

  const QString refused[] = {
      "DROP TABLE file",
      "DELETE FROM file",
      "UPDATE backup SET status=2",
      "INSERT INTO backup (job_id) VALUES (7)",
      "ATTACH DATABASE '" + path("attached.db") + "' AS other",
      "PRAGMA user_version=99",
      "PRAGMA writable_schema=ON",
      "CREATE TABLE job2 (x)",
      "CREATE TRIGGER t AFTER INSERT ON job BEGIN DELETE FROM file; END",
      "INSERT INTO pattern (pattern_id, pattern_data, pattern_type) SELECT id_file, path, 0 FROM "
      "file",
      "UPDATE sqlite_master SET sql='' WHERE name='file'",
      "COMMIT",
      "SAVEPOINT s",
      "VACUUM INTO '" + path("copy.db") + "'",
      "SELECT load_extension('libevil')",
      "INSERT INTO sel_tem (sel_tem_id) VALUES (99); DROP TABLE file",
  };
  for (const QString& statement : refused) {
    // A valid first line, so that only a rollback can undo it.
    service_->setScript({{good_ + "\nINSERT INTO sel_tem (sel_tem_id) VALUES (98);\n" +
                          statement.toUtf8() + "\n"}});
    EXPECT_EQ(update(), KVN_E_FAILED) << statement.toStdString();
    EXPECT_EQ(state(), before) << statement.toStdString();
    EXPECT_TRUE(logged("sql statement '" + statement.toStdString() + "' failed"))
        << statement.toStdString();
  }
  EXPECT_FALSE(QFile::exists(path("attached.db")));
  EXPECT_FALSE(QFile::exists(path("copy.db")));
}

TEST_F(JobFileConfinementTest, ReadsAndRowChangesOfTheJobTablesAreAllowed) {
  startBox("127.0.0.127", {{good_ + "\nUPDATE job SET job_name=upper('x') || strftime('%Y', 'now') "
                                    "WHERE job_id IN (SELECT job_id FROM job_x_sel_tem);\n"
                                    "DELETE FROM pattern WHERE pattern_id > 100;\n"
                                    "SELECT COUNT(*) FROM scheduler;"}});
  credentials("127.0.0.127");
  ASSERT_EQ(update(), KVN_OK) << log_.text();
  EXPECT_TRUE(scalar("SELECT job_name FROM job").toString().startsWith("X2"));
}

TEST_F(JobFileConfinementTest, TheAuthorizerGoesWithTheGuard) {
  QSqlDatabase db = database().database();
  {
    JobFileConfinement confinement(db);
    ASSERT_TRUE(confinement.isActive());
    QSqlQuery query(db);
    EXPECT_FALSE(query.exec("PRAGMA user_version"));
    EXPECT_TRUE(query.lastError().text().contains("not authorized"))
        << query.lastError().text().toStdString();
    EXPECT_TRUE(query.exec("SELECT COUNT(*) FROM job"));
  }
  QSqlQuery query(db);
  EXPECT_TRUE(query.exec("PRAGMA user_version"));
  EXPECT_TRUE(query.exec("SELECT COUNT(*) FROM file"));
}

}  // namespace
