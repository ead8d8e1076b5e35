// "file_upload": the log and the database reach the box whole, in payloads
// the channel accepts, and a request for anything else is refused.
#include <gtest/gtest.h>

#include <QFile>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <regex>

#include "fresh_database.h"
#include "handlers_fixture.h"

namespace {

using kvn_test::RecordingTesselLink;

constexpr int kTaskId = 41;
constexpr qsizetype kMaxPayload = 524288;

class FileUploadTest : public kvn_test::FreshDatabase {
 protected:
  void SetUp() override {
    FreshDatabase::SetUp();
    facts_.logFilePath = QString::fromStdString(file("Zelvo.log"));
    facts_.databasePath = dbPath();
    registerTesselHandlers(queries_, tasks_, control_, facts_, runner_);
  }

  std::unique_ptr<TesselTask> startUpload(const QString& which) {
    const TesselTaskFactory* factory = tasks_.find("file_upload");
    EXPECT_NE(factory, nullptr);
    if (!factory) return nullptr;
    auto task = (*factory)(link_, kTaskId);
    task->start({{"file", which}});
    return task;
  }

  // Steps the task to its end and returns the bytes it sent, checking the
  // shape of every message on the way.
  QByteArray uploaded(TesselTask& task) {
    for (int steps = 0; !task.finished() && steps < 10000; ++steps) task.step();
    EXPECT_TRUE(task.finished());
    QByteArray bytes;
    const auto messages = link_.messages();
    EXPECT_FALSE(messages.empty());
    for (std::size_t i = 0; i + 1 < messages.size(); ++i) {
      const auto& message = messages[i];
      EXPECT_EQ(message.type, "task");
      EXPECT_EQ(message.object, (QJsonObject{{"task_id", kTaskId}, {"data", QJsonObject()}}));
      EXPECT_TRUE(message.hasPayload);
      EXPECT_GT(message.payload.size(), 0);
      EXPECT_LE(message.payload.size(), kMaxPayload);
      bytes += message.payload;
    }
    if (!messages.empty()) {
      EXPECT_EQ(messages.back().type, "task_control");
      EXPECT_EQ(messages.back().object, (QJsonObject{{"task_id", kTaskId}, {"action", "finish"}}));
    }
    return bytes;
  }

  QString abortError() const {
    const auto messages = link_.messagesOfType("task_control");
    if (messages.size() != 1 || messages[0].object.value("action") != "abort") return {};
    return messages[0].object.value("error").toString();
  }

  bool logged(const std::string& text) const { return log_.text().find(text) != std::string::npos; }

  kvn_test::LogCapture log_;
  RecordingTesselLink link_;
  AgentControl control_;
  AgentFacts facts_;
  LaunchActionRunner runner_;
  QueryProcessorRegistry queries_;
  TaskFactoryRegistry tasks_;
};

TEST_F(FileUploadTest, TheLogArrivesByteForByteUnderTheLogLock) {
  for (const qsizetype size : {qsizetype(0), qsizetype(1), 2 * kMaxPayload, qsizetype(1300001)}) {
    link_.clear();
    QByteArray content(size, '\0');
    for (auto& byte : content) byte = char(QRandomGenerator::global()->bounded(256));
    kvn_test::writeFile(file("Zelvo.log"), content.toStdString());
    {
      auto task = startUpload("log");
      // Sending pieces of the log must not add lines to it.
      EXPECT_EQ(link_.logLocks(kTaskId), 1);
      EXPECT_EQ(uploaded(*task), content) << size;
      const auto pieces = link_.messagesOfType("task").size();
      EXPECT_EQ(qsizetype(pieces), (size + kMaxPayload - 1) / kMaxPayload);
    }
    EXPECT_EQ(link_.logLocks(kTaskId), 0);
  }
  EXPECT_TRUE(logged("Upload starting : log (" + file("Zelvo.log") + ")")) << log_.text();
  EXPECT_TRUE(logged("Upload complete"));
}

TEST_F(FileUploadTest, TheDatabaseCopyHoldsCommitsStillInTheWriteAheadLog) {
  // Rows committed just before, with no checkpoint since: they live only
  // in the write-ahead log, beside a main file that knows nothing of them.
  sql("PRAGMA wal_autocheckpoint=0");
  sql("CREATE TABLE uploaded_rows (n INTEGER, text TEXT)");
  for (int n = 0; n < 300; ++n) {
    sql(QString("INSERT INTO uploaded_rows VALUES (%1, 'row %1')").arg(n));
  }
  ASSERT_EQ(scalar("PRAGMA journal_mode").toString(), "wal");
  // What a plain copy of the main file would have sent.
  kvn_test::writeFile(file("plain.db"), kvn_test::readFile(file("zlv.db")));
  {
    QSqlDatabase plain = QSqlDatabase::addDatabase("QSQLITE", "plain");
    plain.setDatabaseName(QString::fromStdString(file("plain.db")));
    ASSERT_TRUE(plain.open());
    EXPECT_FALSE(QSqlQuery(plain).exec("SELECT COUNT(*) FROM uploaded_rows"));
    plain.close();
  }
  QSqlDatabase::removeDatabase("plain");

  QString copyPath;
  QByteArray bytes;
  {
    auto task = startUpload("db");
    bytes = uploaded(*task);
    std::smatch match;
    const std::string text = log_.text();
    ASSERT_TRUE(std::regex_search(text, match, std::regex(R"(Upload starting : db \((.*)\))")));
    copyPath = QString::fromStdString(match[1]);
    EXPECT_TRUE(QFile::exists(copyPath));
    EXPECT_EQ(link_.logLocks(kTaskId), 0);
  }
  // The temporary copy goes with the task.
  EXPECT_FALSE(QFile::exists(copyPath));

  const std::string received = file("received.db");
  kvn_test::writeFile(received, bytes.toStdString());
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "received");
    db.setDatabaseName(QString::fromStdString(received));
    ASSERT_TRUE(db.open());
    QSqlQuery check(db);
    ASSERT_TRUE(check.exec("PRAGMA integrity_check") && check.next());
    EXPECT_EQ(check.value(0).toString(), "ok");
    QSqlQuery rows(db);
    ASSERT_TRUE(rows.exec("SELECT COUNT(*), MAX(n), MAX(text) FROM uploaded_rows") && rows.next())
        << rows.lastError().text().toStdString();
    EXPECT_EQ(rows.value(0).toInt(), 300);
    EXPECT_EQ(rows.value(1).toInt(), 299);
    EXPECT_EQ(rows.value(2).toString(), "row 99");
    QSqlQuery schema(db);
    EXPECT_TRUE(schema.exec("SELECT COUNT(*) FROM job"));
    db.close();
  }
  QSqlDatabase::removeDatabase("received");
  // The connection of the copy is gone again.
  EXPECT_FALSE(QSqlDatabase::contains("ExterFsDump"));
}

TEST_F(FileUploadTest, ARequestForAnythingElseOrAMissingFileIsAborted) {
  auto invalid = startUpload("passwd");
  EXPECT_TRUE(invalid->finished());
  EXPECT_EQ(abortError(), "Invalid file");
  EXPECT_TRUE(logged("Invalid file : passwd")) << log_.text();
  invalid->step();
  EXPECT_EQ(link_.messages().size(), 1u);

  link_.clear();
  auto missingLog = startUpload("log");
  EXPECT_EQ(abortError(), "Cannot open file");
  EXPECT_TRUE(logged("Cannot open file : " + file("Zelvo.log")));
  missingLog.reset();
  EXPECT_EQ(link_.logLocks(kTaskId), 0);

  // A missing database is not made up as an empty one.
  link_.clear();
  facts_.databasePath = QString::fromStdString(file("elsewhere.db"));
  registerTesselHandlers(queries_, tasks_, control_, facts_, runner_);
  auto missingDatabase = startUpload("db");
  EXPECT_EQ(abortError(), "Cannot open file");
  EXPECT_TRUE(logged("Cannot open file : db"));
  EXPECT_FALSE(QFile::exists(facts_.databasePath));
}

}  // namespace
