// A job database with one file backup job (id 1) and a generated tree in a
// temporary folder; paths are given relative to the tree.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <QDir>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>

#include "backup/file/fsnjob.h"
#include "temp_dir.h"

class FinderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = QSqlDatabase::addDatabase("QSQLITE", "finder_test");
    db_.setDatabaseName(QString::fromStdString(dbDir_.file("zlv.db")));
    ASSERT_TRUE(db_.open());
    for (const char* statement :
         {"CREATE TABLE job (job_isLocal BOOL NOT NULL default 0, job_id BIGINT NOT NULL)",
          "CREATE TABLE sel_tem (sel_tem_id BIGINT NOT NULL, sel_tem_isLocal BOOL NOT NULL "
          "default 0, is_sel BOOL NOT NULL DEFAULT FALSE)",
          "CREATE TABLE job_x_sel_tem (job_id bigint NOT NULL, sel_tem_id bigint NOT NULL)",
          "CREATE TABLE pattern (pattern_id BIGINT NOT NULL, pattern_isLocal BOOL NOT NULL "
          "default 0, pattern_data TEXT NOT NULL, pattern_type smallint)",
          "CREATE TABLE pattern_x_sel_tem (sel_tem_id BIGINT NOT NULL, pattern_id BIGINT NOT "
          "NULL)",
          "CREATE TABLE file (id_file INTEGER PRIMARY KEY, path TEXT NOT NULL, job_id BIGINT "
          "NOT NULL, lastwrite INTEGER DEFAULT NULL)",
          "INSERT INTO job (job_id) VALUES (1), (2)",
          "INSERT INTO sel_tem (sel_tem_id) VALUES (1), (2)",
          "INSERT INTO job_x_sel_tem VALUES (1, 1), (2, 2)"}) {
      ASSERT_TRUE(QSqlQuery(db_).exec(statement)) << statement;
    }
  }
  void TearDown() override {
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase("finder_test");
  }

  QString root() const { return QString::fromStdString(tree_.path()); }
  QString at(const QString& relative) const { return root() + "/" + relative; }
  // The form the box stores: "|" for every separator.
  QString wire(const QString& relative) const { return QString(at(relative)).replace('/', '|'); }

  void file(const QString& relative, const std::string& content = "data", time_t mtime = 0) {
    QDir().mkpath(QFileInfo(at(relative)).path());
    kvn_test::writeFile(at(relative).toStdString(), content);
    if (mtime) {
      utimbuf times{mtime, mtime};
      ::utime(at(relative).toLocal8Bit().constData(), &times);
    }
  }
  void folder(const QString& relative) { QDir().mkpath(at(relative)); }

  // type 0 selects, type 1 excludes; sel_tem 2 belongs to job 2.
  void pattern(int type, const QString& data, int selTem = 1) {
    QSqlQuery query(db_);
    query.prepare("INSERT INTO pattern (pattern_id, pattern_data, pattern_type) VALUES (?, ?, ?)");
    query.addBindValue(++lastPattern_);
    query.addBindValue(data);
    query.addBindValue(type);
    ASSERT_TRUE(query.exec());
    QSqlQuery link(db_);
    link.prepare("INSERT INTO pattern_x_sel_tem VALUES (?, ?)");
    link.addBindValue(selTem);
    link.addBindValue(lastPattern_);
    ASSERT_TRUE(link.exec());
  }
  void record(const QString& relative, const QVariant& lastWrite, int job = 1) {
    QSqlQuery query(db_);
    query.prepare("INSERT INTO file (path, job_id, lastwrite) VALUES (?, ?, ?)");
    query.addBindValue(at(relative));
    query.addBindValue(job);
    query.addBindValue(lastWrite);
    ASSERT_TRUE(query.exec());
  }

  // Loads job 1 and analyses it; the listed paths relative to the tree.
  QStringList analyse(std::uint32_t expected = 0) {
    job_ = std::make_unique<FSNJob>(1, signatures_, std::make_shared<SnapshotContext>(&stop_));
    EXPECT_EQ(job_->load(db_), 0u);
    EXPECT_EQ(job_->analyse(db_, counters_), expected);
    QStringList listed;
    for (const auto& entry : job_->entries()) listed << entry->path().mid(root().size() + 1);
    return listed;
  }

  kvn_test::TempDir dbDir_;
  kvn_test::TempDir tree_;
  QSqlDatabase db_;
  QString signatures_ = at("agent/Signatures");
  std::atomic<bool> stop_{false};
  std::unique_ptr<FSNJob> job_;
  AnalysisCounters counters_;
  int lastPattern_ = 0;
};
