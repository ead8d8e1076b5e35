// File records, signature cache names and the closing of interrupted runs.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <chrono>
#include <thread>
#include <vector>

#include "database/filerecords.h"
#include "database/recordbatch.h"
#include "database/resetunfinishedoperations.h"
#include "database/signaturefile.h"
#include "fresh_database.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "log_capture.h"

namespace {

using kvn_agent_database::FileRecords;
using kvn_agent_database::RecordBatch;
using namespace std::chrono_literals;
using kvn_agent_database::signatureFilePath;

class FileRecordsTest : public kvn_test::FreshDatabase {
 protected:
  void SetUp() override {
    FreshDatabase::SetUp();
    signatures_ = QDir(QString::fromStdString(file("Signatures")));
    ASSERT_TRUE(QDir().mkpath(signatures_.path()));
  }
  QString makeSignature(const QString& path, std::int64_t lastWrite, std::int64_t job) {
    const QString sig = signatureFilePath(signatures_, path, lastWrite, job);
    QDir().mkpath(QFileInfo(sig).path());
    kvn_test::writeFile(sig.toStdString(), "sig");
    return sig;
  }
  QDir signatures_;
};

TEST_F(FileRecordsTest, SignatureNamesSplitTheMd5OfTheUtf16Path) {
  // MD5 of "/data/a.txt" in UTF-16LE, computed independently (Python hashlib).
  EXPECT_EQ(signatureFilePath(QDir("/sig"), "/data/a.txt", 1700000000, 7),
            "/sig/7/fb/49/7ef40ab598726a4881942cacc6091700000000.sig");
}

TEST_F(FileRecordsTest, RecordsAreFoundAndUpdatedAndOldSignaturesRemoved) {
  FileRecords records(database().database(), signatures_);
  std::int64_t id = 0, other = 0;
  ASSERT_EQ(records.insertFile("/data/a.txt", 7, 100, &id), KVN_OK);
  ASSERT_EQ(records.insertFile("/data/a.txt", 8, 100, &other), KVN_OK);
  ASSERT_NE(id, other);

  // Lookups normalise separators the way records are stored.
  QSqlQuery found = records.findFile(QDir::fromNativeSeparators("/data/a.txt"), 7);
  ASSERT_TRUE(found.next());
  EXPECT_EQ(found.value(0).toInt(), 100);
  EXPECT_EQ(found.value(1).toLongLong(), id);
  EXPECT_FALSE(found.next());

  const QString oldSig = makeSignature("/data/a.txt", 100, 7);
  const QString otherJobSig = makeSignature("/data/a.txt", 100, 8);
  ASSERT_EQ(records.updateLastWrite(id, 200), KVN_OK);
  EXPECT_FALSE(QFile::exists(oldSig));
  EXPECT_TRUE(QFile::exists(otherJobSig));
  EXPECT_EQ(scalar(QString("SELECT lastwrite FROM file WHERE id_file=%1;").arg(id)).toInt(), 200);

  // With no version on the box there is no signature to remove.
  ASSERT_EQ(records.clearLastWrite(id), KVN_OK);
  const QString zeroSig = makeSignature("/data/a.txt", 0, 7);
  ASSERT_EQ(records.updateLastWrite(id, 300), KVN_OK);
  EXPECT_TRUE(QFile::exists(zeroSig));
  EXPECT_EQ(scalar(QString("SELECT lastwrite FROM file WHERE id_file=%1;").arg(id)).toInt(), 300);

  ASSERT_EQ(records.deleteFile(id), KVN_OK);
  EXPECT_FALSE(records.findFile("/data/a.txt", 7).next());
}

TEST_F(FileRecordsTest, OneObjectServesAWholeRunWithoutHoldingTheTable) {
  // A backup keeps one object for all its files: the kept statements must
  // take each call's values, and none may keep the table locked for the
  // other connections of the process in between.
  FileRecords records(database().database(), signatures_);
  std::vector<std::int64_t> ids(4);
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(records.insertFile(QString("/data/f%1").arg(i), 7, 100 + i, &ids[i]), KVN_OK);
  for (int round = 1; round <= 2; ++round) {
    for (int i = 3; i >= 0; --i) {
      const QString path = QString("/data/f%1").arg(i);
      const std::int32_t before = 100 * round + i, after = 100 * (round + 1) + i;
      const QString oldSig = makeSignature(path, before, 7);
      const QString neighbourSig = makeSignature(QString("/data/f%1").arg((i + 1) % 4), before, 7);
      ASSERT_EQ(records.updateLastWrite(ids[i], after), KVN_OK);
      EXPECT_FALSE(QFile::exists(oldSig)) << path.toStdString();
      EXPECT_TRUE(QFile::exists(neighbourSig)) << path.toStdString();
    }
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(scalar(QString("SELECT lastwrite FROM file WHERE id_file=%1;").arg(ids[i])).toInt(),
              300 + i);
  }

  QSqlDatabase other = database().namedConnection("file_records_other");
  ASSERT_TRUE(other.open());
  {
    QSqlQuery write(other);
    EXPECT_TRUE(write.exec(
        "UPDATE file SET lastwrite = 1 WHERE id_file = " + QString::number(ids[0]) + ";"))
        << write.lastError().text().toStdString();
  }
  other.close();
  other = QSqlDatabase();
  QSqlDatabase::removeDatabase("file_records_other");
  ASSERT_EQ(records.deleteFile(ids[1]), KVN_OK);
  ASSERT_EQ(records.clearLastWrite(ids[2]), KVN_OK);
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM file WHERE lastwrite IS NOT NULL;").toInt(), 2);
}

TEST_F(FileRecordsTest, FailuresAreReportedWithTheirCodes) {
  FileRecords records(database().database(), signatures_);
  sql("DROP TABLE file;");
  kvn_test::LogCapture capture;
  std::int64_t id = -1;
  EXPECT_EQ(records.insertFile("/x", 1, 1, &id), KVN_E_FAILED);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(records.clearLastWrite(1), KVN_E_FAILED);
  try {
    records.findFile("/x", 1);
    FAIL() << "no exception";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_FAILED);
    EXPECT_NE(std::string(e.what()).find("cannot prepare query"), std::string::npos);
  }
  EXPECT_NE(capture.text().find("sql statement 'INSERT INTO file"), std::string::npos);
}

TEST_F(FileRecordsTest, ABatchWritesWhenFullOrOldOrAtItsEndAndCountsWhatItLoses) {
  FileRecords records(database().database(), signatures_);
  std::int64_t known = 0;
  ASSERT_EQ(records.insertFile("/data/known", 7, 100, &known), KVN_OK);
  const QString oldSig = makeSignature("/data/known", 100, 7);
  const auto count = [&] { return scalar("SELECT COUNT(*) FROM file WHERE job_id = 7;").toInt(); };
  {
    RecordBatch batch(records, database().database(), 3, 1h);
    EXPECT_EQ(batch.insertFile("/data/a", 7, 1), 0u);
    EXPECT_EQ(batch.updateLastWrite(known, 200), 0u);
    EXPECT_EQ(count(), 1);
    EXPECT_TRUE(QFile::exists(oldSig));
    // Nothing holds the database while records wait: another connection
    // writes at once.
    {
      QSqlDatabase other = database().namedConnection("record_batch_other");
      ASSERT_TRUE(other.open());
      QSqlQuery write(other);
      write.exec("PRAGMA busy_timeout = 0;");
      EXPECT_TRUE(write.exec("INSERT INTO file (path, job_id, lastwrite) VALUES ('/o', 8, 1);"))
          << write.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase("record_batch_other");
    // The third fills the batch: all three are written, the replaced
    // version's signature goes.
    EXPECT_EQ(batch.insertFile("/data/b", 7, 2), 0u);
    EXPECT_EQ(batch.waiting(), 0u);
    EXPECT_EQ(count(), 3);
    EXPECT_FALSE(QFile::exists(oldSig));
    EXPECT_EQ(scalar(QString("SELECT lastwrite FROM file WHERE id_file=%1;").arg(known)).toInt(),
              200);
    EXPECT_EQ(batch.insertFile("/data/c", 7, 3), 0u);
    EXPECT_EQ(count(), 3);
  }
  EXPECT_EQ(count(), 4) << "the end writes what waits";

  {
    // A record that waited long enough is written with the next one.
    RecordBatch batch(records, database().database(), 100, 1ms);
    EXPECT_EQ(batch.insertFile("/data/d", 7, 4), 0u);
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(batch.insertFile("/data/e", 7, 5), 0u);
    EXPECT_EQ(batch.waiting(), 0u);
    EXPECT_EQ(count(), 6);
  }

  // Records that cannot be written are counted, and each is logged.
  FileRecords fresh(database().database(), signatures_);
  RecordBatch batch(fresh, database().database(), 100, 1h);
  batch.insertFile("/data/f", 7, 6);
  batch.insertFile("/data/g", 7, 7);
  sql("DROP TABLE file;");
  kvn_test::LogCapture capture;
  EXPECT_EQ(batch.write(), 2u);
  EXPECT_NE(capture.text().find("sql statement 'INSERT INTO file"), std::string::npos);
  EXPECT_EQ(batch.write(), 0u) << "nothing waits any more";
}

TEST_F(FileRecordsTest, UnfinishedRunsAreClosedAndFinishedOnesKept) {
  sql("INSERT INTO backup (start_time, status, job_id) VALUES (10, 0, 1), (11, 0, 2);");
  sql("INSERT INTO backup (start_time, last_time, status, job_id) VALUES (5, 6, 4097, 1);");
  sql("INSERT INTO restoration (start_time, status, job_id) VALUES (10, 0, 1);");
  sql("INSERT INTO suppression (start_time, status, job_id) VALUES (10, 0, 1);");

  kvn_agent_database::ResetUnfinishedOperations reset;
  ASSERT_EQ(database().run(reset), KVN_OK);
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM backup WHERE last_time=1 AND status=4098;").toInt(), 2);
  EXPECT_EQ(scalar("SELECT status FROM backup WHERE start_time=5;").toInt(), 4097);
  EXPECT_EQ(scalar("SELECT status || '/' || last_time FROM restoration;").toString(), "16386/1");
  EXPECT_EQ(scalar("SELECT status || '/' || last_time FROM suppression;").toString(), "8194/1");

  sql("DROP TABLE restoration;");
  sql("INSERT INTO backup (start_time, status, job_id) VALUES (20, 0, 3);");
  kvn_test::LogCapture capture;
  EXPECT_EQ(database().run(reset), KVN_E_FAILED);
  EXPECT_NE(capture.text().find("sql statement 'UPDATE restoration"), std::string::npos);
}

}  // namespace
