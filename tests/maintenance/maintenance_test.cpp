// Maintenance passes: run rows from the future, the log rotation, and old
// log and signature files, on real folders with real file times.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "fresh_database.h"
#include "housekeeping/fileage.h"
#include "housekeeping/maintenance.h"
#include "log_capture.h"

namespace {

class MaintenanceTest : public kvn_test::FreshDatabase {
 protected:
  void SetUp() override {
    FreshDatabase::SetUp();
    base_ = QDir(QString::fromStdString(file("Zelvo")));
    ASSERT_TRUE(base_.mkpath("Logs"));
    ASSERT_TRUE(base_.mkpath("Signatures"));
  }

  Maintenance maintenance(bool foreground = false) {
    MaintenanceDependencies deps;
    deps.foreground = foreground;
    deps.rotateLog = [this] { ++rotations_; };
    deps.anyBackupRunning = [this] { return backupRunning_; };
    deps.createdAt = housekeeping::modificationTime;
    deps.now = [] { return QDateTime::currentDateTime(); };
    return Maintenance({base_, QDir(base_.filePath("Logs")), QDir(base_.filePath("Signatures"))},
                       deps);
  }
  // A file whose modification lies days calendar days back.
  QString aged(const QString& relative, int days) {
    const QString path = base_.filePath(relative);
    QDir().mkpath(QFileInfo(path).path());
    kvn_test::writeFile(path.toStdString(), "x");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadWrite));
    EXPECT_TRUE(file.setFileTime(QDateTime::currentDateTime().addDays(-days),
                                 QFileDevice::FileModificationTime));
    return path;
  }
  QSqlDatabase& db() {
    db_ = database().database();
    return db_;
  }
  bool logged(const std::string& text) const { return log_.text().find(text) != std::string::npos; }

  kvn_test::LogCapture log_;
  QDir base_;
  QSqlDatabase db_;
  int rotations_ = 0;
  bool backupRunning_ = false;
};

TEST_F(MaintenanceTest, RunsDatedInTheFutureGoAndOpenOnesStay) {
  const qint64 now = QDateTime::currentSecsSinceEpoch();
  for (const char* table : {"backup", "restoration", "suppression"}) {
    sql(QString("INSERT INTO %1 (job_id, start_time, last_time, status) VALUES "
                "(1, %2, NULL, 0), (2, %3, NULL, 0), (3, %4, %5, 0), (4, %4, %4, 0);")
            .arg(table)
            .arg(now + 3600)
            .arg(now - 3600)
            .arg(now - 7200)
            .arg(now + 7200));
  }
  maintenance().runPass(db());
  for (const char* table : {"backup", "restoration", "suppression"}) {
    EXPECT_EQ(scalar(QString("SELECT group_concat(job_id) FROM %1").arg(table)).toString(), "2,4")
        << table;
  }
  EXPECT_TRUE(logged("Running maintenance"));
  EXPECT_TRUE(logged("Maintenance complete"));
}

TEST_F(MaintenanceTest, LogFilesOlderThanThirtyDaysGoAndTheLogIsRotatedOnlyAsAService) {
  const QString old = aged("Logs/Zelvo.log.3", 31);
  const QString edge = aged("Logs/Zelvo.log.2", 30);
  const QString fresh = aged("Logs/Zelvo.log", 0);
  ASSERT_TRUE(QFile::link(old, base_.filePath("Logs/link")));

  maintenance(true).runPass(db());
  EXPECT_EQ(rotations_, 0) << "never rotated in the foreground";
  EXPECT_FALSE(QFileInfo::exists(old));
  EXPECT_TRUE(QFileInfo::exists(edge));
  EXPECT_TRUE(QFileInfo::exists(fresh));
  EXPECT_TRUE(QFileInfo(base_.filePath("Logs/link")).isSymLink()) << "links are left alone";

  maintenance(false).runPass(db());
  EXPECT_EQ(rotations_, 1);
}

TEST_F(MaintenanceTest, OldSignaturesAreCountedAndDeletedUnlessABackupRuns) {
  for (int i = 0; i < 7; ++i) aged(QString("Signatures/7/a%1/b/%1.sig").arg(i), 2);
  QStringList old;
  for (int i = 0; i < 3; ++i) old << aged(QString("Signatures/8/c%1/%1.sig").arg(i), 40);
  // A signature whose write a kill cut short goes, however new it is.
  old << aged("Signatures/7/a0/b/9.sig.part", 0);
  // A file outside the data folder, reachable through a link inside it.
  const QString outside = QString::fromStdString(file("outside/keep.sig"));
  QDir().mkpath(QFileInfo(outside).path());
  kvn_test::writeFile(outside.toStdString(), "x");
  {
    QFile file(outside);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.setFileTime(QDateTime::currentDateTime().addDays(-90), QFileDevice::FileModificationTime);
  }
  ASSERT_TRUE(QFile::link(QFileInfo(outside).path(), base_.filePath("Signatures/elsewhere")));

  backupRunning_ = true;
  maintenance().deleteOldSignatures();
  for (const QString& path : old) EXPECT_TRUE(QFileInfo::exists(path)) << "a backup runs";
  EXPECT_FALSE(logged("Deleted "));

  backupRunning_ = false;
  maintenance().deleteOldSignatures();
  for (const QString& path : old) EXPECT_FALSE(QFileInfo::exists(path));
  EXPECT_TRUE(logged("Deleted 4 old signature files (7 remains)")) << log_.text();
  EXPECT_TRUE(QFileInfo::exists(outside));

  maintenance().deleteOldSignatures();
  const std::string text = log_.text();
  EXPECT_EQ(text.find("Deleted "), text.rfind("Deleted ")) << "nothing old, nothing said";
}

TEST_F(MaintenanceTest, FolderOutsideTheDataFolderIsLeftAlone) {
  const QString outside = QString::fromStdString(file("elsewhere"));
  QDir().mkpath(outside);
  const QString victim = outside + "/old.log";
  kvn_test::writeFile(victim.toStdString(), "x");
  {
    QFile file(victim);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.setFileTime(QDateTime::currentDateTime().addDays(-90), QFileDevice::FileModificationTime);
  }
  MaintenanceDependencies deps;
  deps.rotateLog = [] {};
  deps.anyBackupRunning = [] { return false; };
  deps.createdAt = housekeeping::modificationTime;
  deps.now = [] { return QDateTime::currentDateTime(); };
  Maintenance({base_, QDir(outside), QDir(outside)}, deps).runPass(db());
  EXPECT_TRUE(QFileInfo::exists(victim));
  EXPECT_TRUE(logged("is not a folder inside the data folder")) << log_.text();
}

TEST(FileAge, BirthTimeWhereRecordedElseModificationTime) {
  kvn_test::TempDir dir;
  const QString path = QString::fromStdString(dir.file("f"));
  kvn_test::writeFile(path.toStdString(), "x");
  const QDateTime back = QDateTime::currentDateTime().addDays(-40);
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(back, QFileDevice::FileModificationTime));
  }
  const QDateTime created = housekeeping::creationTime(path);
  ASSERT_TRUE(created.isValid());
  if (housekeeping::recordsBirthTime(path)) {
    // Setting the modification time cannot make a file older.
    EXPECT_LT(qAbs(created.secsTo(QDateTime::currentDateTime())), 60);
  } else {
    EXPECT_EQ(created.toSecsSinceEpoch(), back.toSecsSinceEpoch());
  }
  EXPECT_EQ(housekeeping::modificationTime(path).toSecsSinceEpoch(), back.toSecsSinceEpoch());
  EXPECT_FALSE(housekeeping::creationTime(path + ".missing").isValid());
}

}  // namespace
