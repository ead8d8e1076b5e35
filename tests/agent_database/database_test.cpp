// Creation, migration and connections of the agent database.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QStringList>
#include <atomic>
#include <thread>
#include <vector>

#include "core_app_environment.h"
#include "database/schema.h"
#include "database/scopedconnection.h"
#include "fresh_database.h"
#include "log_capture.h"
#include "process_runner.h"

namespace {

using kvn_test::FreshDatabase;

QString dumpSchema(QSqlDatabase db) {
  QSqlQuery query(db);
  EXPECT_TRUE(
      query.exec("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name;"));
  QStringList rows;
  while (query.next()) {
    QStringList fields;
    for (int i = 0; i < 4; ++i) fields << query.value(i).toString();
    rows << fields.join('|');
  }
  return rows.join('\n') + '\n';
}

int patchLines(const std::string& log) {
  int count = 0;
  for (std::size_t at = 0; (at = log.find("Executing database patch", at)) != std::string::npos;
       ++at) {
    ++count;
  }
  return count;
}

TEST_F(FreshDatabase, ReachesVersionTenWithTheFinalSchemaAndMigratesOnlyOnce) {
  // The fixture opened it once already; a new database runs every step.
  {
    kvn_test::LogCapture capture;
    ASSERT_TRUE(database().createDB(dbPath()));
    EXPECT_EQ(scalar("PRAGMA user_version;").toInt(), 0);
    ASSERT_TRUE(database().openDB(dbPath()));
    EXPECT_EQ(patchLines(capture.text()), 10);
    EXPECT_NE(capture.text().find("Executing database patch 0008-merge_version_in_file_table"),
              std::string::npos);
  }
  EXPECT_EQ(scalar("PRAGMA user_version;").toInt(), 10);
  const std::string expected =
      kvn_test::readFile(KVN_TEST_SOURCE_DIR "/tests/agent_database/expected_schema.txt");
  EXPECT_EQ(dumpSchema(database().database()).toStdString(), expected);

  kvn_test::LogCapture capture;
  ASSERT_TRUE(database().openDB(dbPath()));
  EXPECT_EQ(patchLines(capture.text()), 0);
  EXPECT_NE(capture.text().find("Agent database version : 10"), std::string::npos);
  EXPECT_EQ(QFile::permissions(dbPath()) & 0x0077, 0) << "readable by group or others";
}

TEST_F(FreshDatabase, VersionSevenGetsStepsEightToTenAndLastwriteFromTheNewestVersion) {
  // Build a version-7 database from the step scripts themselves.
  QSqlDatabase db = database().database();
  db.close();
  QFile::remove(dbPath());
  db.setDatabaseName(dbPath());
  ASSERT_TRUE(db.open());
  for (const QString& name : QDir(":/sql/").entryList(QDir::Files, QDir::Name)) {
    if (name.left(4).toInt() > 7) break;
    ASSERT_TRUE(kvn_agent_database::executeScript(db, ":/sql/" + name)) << name.toStdString();
  }
  sql("PRAGMA user_version=7;");
  sql("INSERT INTO file (id_file, path, job_id) VALUES (1, '/a', 3), (2, '/b', 3), (3, '/c', 3);");
  // The newest version is the highest id, not the highest time.
  sql("INSERT INTO version (id_version, id_file, lastwrite, size) VALUES "
      "(10, 1, 500, 1), (11, 1, 400, 1), (12, 2, 900, 1);");

  kvn_test::LogCapture capture;
  ASSERT_TRUE(database().openDB(dbPath()));
  const std::string log = capture.text();
  const auto at8 = log.find("patch 0008"), at9 = log.find("patch 0009"),
             at10 = log.find("patch 0010");
  EXPECT_EQ(patchLines(log), 3);
  EXPECT_TRUE(at8 < at9 && at9 < at10 && at10 != std::string::npos);

  EXPECT_EQ(scalar("PRAGMA user_version;").toInt(), 10);
  EXPECT_EQ(scalar("SELECT lastwrite FROM file WHERE id_file=1;").toInt(), 400);
  EXPECT_EQ(scalar("SELECT lastwrite FROM file WHERE id_file=2;").toInt(), 900);
  EXPECT_TRUE(scalar("SELECT lastwrite FROM file WHERE id_file=3;").isNull());
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('version', 'file_delete');")
                .toInt(),
            0);
}

TEST_F(FreshDatabase, AFailingStepIsRolledBackAndStopsTheMigration) {
  kvn_test::TempDir steps;
  kvn_test::writeFile(
      steps.file("0011-good-then-bad.sql"),
      "CREATE TABLE half_done (a INTEGER);\nINSERT INTO no_such_table VALUES (1);\n");
  kvn_test::writeFile(steps.file("0012-later.sql"), "CREATE TABLE later (a INTEGER);\n");

  kvn_test::LogCapture capture;
  QSqlDatabase db = database().database();
  EXPECT_FALSE(kvn_agent_database::migrate(db, QString::fromStdString(steps.path())));
  EXPECT_NE(capture.text().find("sql statement 'INSERT INTO no_such_table"), std::string::npos);
  EXPECT_EQ(scalar("PRAGMA user_version;").toInt(), 10);
  EXPECT_EQ(
      scalar("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('half_done', 'later');").toInt(),
      0);
}

TEST_F(FreshDatabase, AFileThatIsNoDatabaseStopsTheAgentAndIsLeftAsItIs) {
  kvn_test::TempDir appData;
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(appData.file("Zelvo"))));
  const std::string garbage(5000, 'x');
  const std::string path = appData.file("Zelvo/zlv.db");
  kvn_test::writeFile(path, garbage);

  {
    kvn_test::LogCapture capture;
    EXPECT_FALSE(database().openDB(QString::fromStdString(path)));
    EXPECT_NE(capture.text().find("failed to update database"), std::string::npos);
  }
  kvn_test::ProcessRunner agent(ZLV_SERVICE_BINARY);
  agent.setEnv("ZLV_COMMON_APPDATA", QString::fromStdString(appData.path()));
  const auto result = agent.run({"-f"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(result.standardOutput.contains("openDB error"))
      << result.standardOutput.toStdString();
  EXPECT_EQ(kvn_test::readFile(path), garbage);
}

TEST_F(FreshDatabase, FourThreadsWithOwnConnectionsWriteConcurrently) {
  constexpr int kThreads = 4;
  constexpr int kRows = 10000;
  std::atomic<int> failures{0};
  std::vector<std::string> errors(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      kvn_agent_database::ScopedConnection connection(QString("Writer-%1").arg(t));
      if (!connection.isOpen()) {
        ++failures;
        return;
      }
      QSqlQuery insert(connection.db());
      // Short transactions, so that the writers really take turns.
      for (int row = 0; row < kRows; ++row) {
        if (row % 100 == 0 && !connection.db().transaction()) {
          errors[t] = connection.db().lastError().text().toStdString();
          ++failures;
          return;
        }
        insert.prepare("INSERT INTO file (path, job_id) VALUES (:path, :job_id);");
        insert.bindValue(":path", QString("/t%1/%2").arg(t).arg(row));
        insert.bindValue(":job_id", t);
        if (!insert.exec()) {
          errors[t] = insert.lastError().text().toStdString();
          ++failures;
          connection.db().rollback();
          return;
        }
        if (row % 100 == 99 && !connection.db().commit()) {
          errors[t] = connection.db().lastError().text().toStdString();
          ++failures;
          return;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& error : errors) EXPECT_EQ(error, "");
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM file;").toInt(), kThreads * kRows);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_FALSE(QSqlDatabase::contains(QString("Writer-%1").arg(t))) << "connection not removed";
  }
}

}  // namespace
