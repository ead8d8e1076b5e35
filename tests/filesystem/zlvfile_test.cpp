// Removing a file's local traces after a conflict: its signature files and
// its records, and nothing else.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

#include "../kvn_log/log_capture.h"
#include "database/signaturefile.h"
#include "filesystem/zlvfile.h"
#include "kvn_log/errors.h"
#include "temp_dir.h"

using kvn_agent_filesystem::ZLVFile;

namespace {

class ZLVFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = QSqlDatabase::addDatabase("QSQLITE", "zlvfile_test");
    db_.setDatabaseName(QString::fromStdString(dir_.file("zlv.db")));
    ASSERT_TRUE(db_.open());
    QSqlQuery(db_).exec(
        "CREATE TABLE file (id_file INTEGER PRIMARY KEY, path TEXT NOT NULL, job_id BIGINT NOT "
        "NULL, job_isLocal BOOL NOT NULL default 0, delete_time INTEGER NOT NULL default 0, "
        "path_hash TEXT NOT NULL DEFAULT '-1', lastwrite INTEGER DEFAULT NULL);");
  }
  void TearDown() override {
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase("zlvfile_test");
  }
  void insert(const QString& path, qint64 job, const QVariant& lastWrite) {
    QSqlQuery query(db_);
    query.prepare("INSERT INTO file (path, job_id, lastwrite) VALUES (?, ?, ?)");
    query.addBindValue(path);
    query.addBindValue(job);
    query.addBindValue(lastWrite);
    ASSERT_TRUE(query.exec());
  }
  int count(const QString& where) {
    QSqlQuery query(db_);
    query.exec("SELECT COUNT(*) FROM file WHERE " + where);
    query.next();
    return query.value(0).toInt();
  }
  QString signature(const QString& path, qint64 lastWrite, qint64 job) {
    const QString name = kvn_agent_database::signatureFilePath(signatures_, path, lastWrite, job);
    QDir().mkpath(QFileInfo(name).path());
    kvn_test::writeFile(name.toStdString(), "sig");
    return name;
  }

  kvn_test::TempDir dir_;
  QDir signatures_{QString::fromStdString(dir_.file("Signatures"))};
  QSqlDatabase db_;
};

}  // namespace

// The cache names must stay readable by the box's tools: checked against an
// MD5 computed outside the agent.
TEST_F(ZLVFileTest, SignatureNameIsSplitMd5OfTheUtf16LePath) {
  QProcess shell;
  shell.start("sh", {"-c",
                     "printf '%s' '/home/ann/b\xc3\xa9.txt' | iconv -f UTF-8 -t UTF-16LE | "
                     "md5sum | cut -c1-32"});
  ASSERT_TRUE(shell.waitForFinished());
  const QString md5 = QString::fromLatin1(shell.readAllStandardOutput()).trimmed();
  ASSERT_EQ(md5.size(), 32);
  const QString expected = signatures_.path() + "/7/" + md5.left(2) + "/" + md5.mid(2, 2) + "/" +
                           md5.mid(4) + "1600000000.sig";
  EXPECT_EQ(kvn_agent_database::signatureFilePath(
                signatures_, QString::fromUtf8("/home/ann/bé.txt"), 1600000000, 7),
            expected);
}

TEST_F(ZLVFileTest, RemoveFileDeletesSignaturesAndRecordsOfThatJobOnly) {
  insert("/data/a.txt", 7, 1600000000);
  insert("/data/a.txt", 7, QVariant());  // no complete version, no signature
  insert("/data/a.txt", 8, 1600000000);
  insert("/data/b.txt", 7, 1600000001);
  const QString mine = signature("/data/a.txt", 1600000000, 7);
  const QString otherJob = signature("/data/a.txt", 1600000000, 8);
  const QString otherFile = signature("/data/b.txt", 1600000001, 7);

  kvn_test::LogCapture capture;
  kvn_log::setLevel(kvn_log::Debug);
  const ZLVFile file("/data/a.txt", 7, signatures_);
  EXPECT_EQ(file.removeFile(db_, "/data/a.txt", 7), KVN_OK);
  EXPECT_FALSE(QFile::exists(mine));
  EXPECT_TRUE(QFile::exists(otherJob));
  EXPECT_TRUE(QFile::exists(otherFile));
  EXPECT_EQ(count("path='/data/a.txt' AND job_id=7"), 0);
  EXPECT_EQ(count("1"), 2);
  const std::string log = capture.text();
  EXPECT_NE(log.find("CZLVFile filename: /data/a.txt"), std::string::npos);
  EXPECT_NE(log.find("Delete signature file: " + mine.toStdString()), std::string::npos);
  EXPECT_EQ(log.find("Signature not found"), std::string::npos);
}

TEST_F(ZLVFileTest, MissingRecordSucceedsAndBrokenDatabaseGivesItsCodes) {
  const ZLVFile file("/nothing", 7, signatures_);
  EXPECT_EQ(file.removeFile(db_, "/nothing", 7), KVN_OK);

  kvn_test::LogCapture capture;
  QSqlQuery(db_).exec("DROP TABLE file");
  EXPECT_EQ(file.removeFile(db_, "/nothing", 7), KVN_E_SERVER);
  EXPECT_NE(capture.text().find(
                "cannot remove file signatures from the filesystem (job_id 7, file '/nothing')"),
            std::string::npos);

  // Readable but not deletable: a trigger refuses the delete.
  QSqlQuery(db_).exec(
      "CREATE TABLE file (id_file INTEGER PRIMARY KEY, path TEXT, job_id BIGINT, lastwrite "
      "INTEGER)");
  QSqlQuery(db_).exec(
      "CREATE TRIGGER keep BEFORE DELETE ON file BEGIN SELECT RAISE(ABORT, 'kept'); END");
  insert("/kept", 7, QVariant());
  EXPECT_EQ(file.removeFile(db_, "/kept", 7), KVN_E_FAILED);
  EXPECT_NE(capture.text().find("cannot remove file from the database (job_id 7, file '/kept')"),
            std::string::npos);
}
