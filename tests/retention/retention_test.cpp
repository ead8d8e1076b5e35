// Retention passes over a real agent database and real files: stamps,
// commit points, the skips for running backups and absent roots, and the
// purge handed to the deletion.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSqlQuery>
#include <optional>
#include <vector>

#include "database/scopedconnection.h"
#include "fresh_database.h"
#include "housekeeping/retention.h"
#include "log_capture.h"

namespace {

constexpr qint64 kJob = 7;
constexpr qint64 kStart = 1'700'000'000;

struct Purge {
  QString operationId;
  qint64 jobId = 0;
  QList<RetentionFile> files;
};

class RetentionTest : public kvn_test::FreshDatabase {
 protected:
  void SetUp() override {
    FreshDatabase::SetUp();
    root_ = QString::fromStdString(file("data"));
    ASSERT_TRUE(QDir().mkpath(root_));
  }

  void addJob(qint64 jobId, qint64 days, const QString& type = "fsn") {
    sql(QString("INSERT INTO scheduler (sched_id, sched_min, sched_hour, sched_day_of_month, "
                "sched_month, sched_day_of_week, is_periodic) "
                "VALUES (%1, 0, NULL, NULL, NULL, NULL, 0);")
            .arg(jobId));
    sql(QString("INSERT INTO job (job_id, sched_id, config_max_num_versions_to_save, "
                "config_externalize, job_ctime, config_retention_days, job_type) "
                "VALUES (%1, %1, 3, 0, 0, %2, '%3');")
            .arg(jobId)
            .arg(days)
            .arg(type));
  }
  // A selected folder of the job, as the box writes it ("|" separators).
  void select(qint64 jobId, const QString& folder) {
    const qint64 id = ++patterns_;
    sql(QString("INSERT INTO pattern (pattern_id, pattern_data, pattern_type) "
                "VALUES (%1, '%2', 0);")
            .arg(id)
            .arg(QString(folder + "/").replace('/', '|')));
    sql(QString("INSERT INTO sel_tem (sel_tem_id) VALUES (%1);").arg(id));
    sql(QString("INSERT INTO pattern_x_sel_tem (sel_tem_id, pattern_id) VALUES (%1, %1);").arg(id));
    sql(QString("INSERT INTO job_x_sel_tem (job_id, sel_tem_id) VALUES (%1, %2);")
            .arg(jobId)
            .arg(id));
  }
  qint64 addRecord(qint64 jobId, const QString& path, qint64 deleteTime = 0) {
    sql(QString("INSERT INTO file (path, job_id, lastwrite, delete_time) VALUES ('%1', %2, 1, %3);")
            .arg(path)
            .arg(jobId)
            .arg(deleteTime));
    return scalar("SELECT max(id_file) FROM file").toLongLong();
  }
  QString present(const QString& name) {
    const QString path = root_ + "/" + name;
    kvn_test::writeFile(path.toStdString(), "x");
    return path;
  }
  QString absent(const QString& name) const { return root_ + "/" + name; }
  qint64 deleteTimeOf(qint64 idFile) {
    return scalar(QString("SELECT delete_time FROM file WHERE id_file=%1").arg(idFile))
        .toLongLong();
  }
  qint64 stampedCount(qint64 value) {
    return scalar(QString("SELECT count(*) FROM file WHERE delete_time=%1").arg(value))
        .toLongLong();
  }

  // One pass at the given time on the thread's own "Retention" connection.
  std::uint32_t pass(qint64 now, qint64 unit = 86400) {
    kvn_agent_database::ScopedConnection connection("Retention");
    RetentionSettings settings;
    settings.unit = unit;
    RetentionDependencies deps;
    deps.backupActive = [this](qint64 job) { return backupActive_ ? backupActive_(job) : false; };
    deps.backupActiveOrQueued = [this](qint64 job) {
      return activeOrQueued_ ? activeOrQueued_(job) : false;
    };
    deps.purge = [this](const QString& id, qint64 job, const QList<RetentionFile>& files) {
      purges_.push_back({id, job, files});
      return std::uint32_t(0);
    };
    deps.now = [now] { return now; };
    return Retention(connection.db(), settings, deps).checkRetention();
  }
  bool logged(const std::string& text) const { return log_.text().find(text) != std::string::npos; }

  kvn_test::LogCapture log_;
  QString root_;
  qint64 patterns_ = 0;
  std::function<bool(qint64)> backupActive_;
  std::function<bool(qint64)> activeOrQueued_;
  std::vector<Purge> purges_;
};

TEST_F(RetentionTest, AMissingFileIsPurgedAtTheFirstPassAfterItsRetentionInUnitsOfSixtySeconds) {
  addJob(kJob, 2);
  addJob(8, 0);
  const qint64 gone = addRecord(kJob, absent("gone.txt"));
  const qint64 kept = addRecord(kJob, present("kept.txt"));
  const qint64 untouched = addRecord(8, absent("other.txt"));

  ASSERT_EQ(pass(kStart, 60), 0u);
  EXPECT_EQ(deleteTimeOf(gone), kStart);
  EXPECT_EQ(deleteTimeOf(kept), 0);
  EXPECT_EQ(deleteTimeOf(untouched), 0) << "retention 0 days never touches the job";
  EXPECT_TRUE(purges_.empty()) << "not purged in the pass that noticed it";

  ASSERT_EQ(pass(kStart + 120, 60), 0u);
  EXPECT_TRUE(purges_.empty()) << "2 days of 60 s end after 120 s, not at";

  ASSERT_EQ(pass(kStart + 121, 60), 0u);
  ASSERT_EQ(purges_.size(), 1u);
  EXPECT_EQ(purges_[0].jobId, kJob);
  EXPECT_EQ(purges_[0].files, (QList<RetentionFile>{{absent("gone.txt"), gone}}));
  const QByteArray expectedId =
      QCryptographicHash::hash(QString("ret_7_%1").arg(kStart + 121).toUtf8(),
                               QCryptographicHash::Md5)
          .toHex();
  EXPECT_EQ(purges_[0].operationId, QString::fromLatin1(expectedId));
  EXPECT_TRUE(logged("Retention: 1 files will be permanently deleted")) << log_.text();
}

TEST_F(RetentionTest, DaysTimesUnitDoesNotWrapInThirtyTwoBits) {
  // 49,711 days of 86,400 s wrap to 63,104 s (17.5 hours) in 32 bits.
  addJob(kJob, 49711);
  const qint64 gone = addRecord(kJob, absent("gone.txt"), kStart);
  ASSERT_EQ(pass(kStart + 70000), 0u);
  EXPECT_TRUE(purges_.empty());
  // A delete_time beyond 2038 plus the retention stays in 64 bits too.
  sql(QString("UPDATE file SET delete_time=%1 WHERE id_file=%2").arg(3'000'000'000LL).arg(gone));
  ASSERT_EQ(pass(3'000'000'000LL + 100), 0u);
  EXPECT_TRUE(purges_.empty());
  ASSERT_EQ(pass(3'000'000'000LL + 49711LL * 86400 + 1), 0u);
  EXPECT_EQ(purges_.size(), 1u);
}

TEST_F(RetentionTest, ThirtyOneStampsAreCommittedAfterTheThirtiethRowAndAtTheEnd) {
  addJob(kJob, 5);
  QStringList names;
  for (int i = 0; i < 31; ++i) {
    names << QString("f%1.txt").arg(i, 2, 10, QChar('0'));
    addRecord(kJob, absent(names.back()));
  }
  // Seen from another connection before each row's update.
  std::vector<qint64> committedBefore;
  backupActive_ = [&](qint64) {
    committedBefore.push_back(stampedCount(kStart));
    return false;
  };
  ASSERT_EQ(pass(kStart), 0u);
  ASSERT_EQ(committedBefore.size(), 31u);
  EXPECT_EQ(committedBefore[29], 0) << "nothing committed within the first 30 rows";
  EXPECT_EQ(committedBefore[30], 0) << "the 30th commit comes after the check of row 31";
  EXPECT_EQ(stampedCount(kStart), 31);
  EXPECT_TRUE(logged("Retention: 31 files deleted"));

  // All come back; a backup starts at the 31st row: the first 30 stay done.
  for (const QString& name : names) present(name);
  committedBefore.clear();
  backupActive_ = [&](qint64) {
    committedBefore.push_back(stampedCount(0));
    return committedBefore.size() == 31;
  };
  ASSERT_EQ(pass(kStart + 10), 0u);
  EXPECT_EQ(stampedCount(0), 30);
  EXPECT_EQ(stampedCount(kStart), 1);
  EXPECT_TRUE(logged("Retention: 31 files recreated"));
  EXPECT_TRUE(logged("A backup is starting for job 7, skip retention"));
}

TEST_F(RetentionTest, AJobWithABackupQueuedOrStartingIsLeftForTheNextPass) {
  addJob(kJob, 5);
  const qint64 gone = addRecord(kJob, absent("gone.txt"));

  activeOrQueued_ = [](qint64) { return true; };
  ASSERT_EQ(pass(kStart), 0u);
  EXPECT_TRUE(logged("A backup is active for job 7, skip retention"));
  EXPECT_EQ(deleteTimeOf(gone), 0);

  // Queued between the first look and the read of the records.
  int calls = 0;
  activeOrQueued_ = [&](qint64) { return ++calls > 1; };
  ASSERT_EQ(pass(kStart), 0u);
  EXPECT_TRUE(logged("A backup is starting for job 7, skip retention"));
  EXPECT_EQ(deleteTimeOf(gone), 0);

  activeOrQueued_ = nullptr;
  ASSERT_EQ(pass(kStart), 0u);
  EXPECT_EQ(deleteTimeOf(gone), kStart);
}

TEST_F(RetentionTest, AnAbsentOrUnmountedRootSkipsItsJobWithOneWarning) {
  addJob(kJob, 1);
  const QString mount = root_ + "/usb";
  select(kJob, mount);
  const qint64 first = addRecord(kJob, mount + "/a.txt");
  const qint64 second = addRecord(kJob, mount + "/b.txt");

  // The folder is not there at all.
  ASSERT_EQ(pass(kStart), 0u);
  EXPECT_EQ(stampedCount(0), 2);
  EXPECT_TRUE(logged(mount.toStdString() + " of job 7 is not there")) << log_.text();

  // An empty mount point: the disk is unplugged.
  ASSERT_TRUE(QDir().mkpath(mount));
  ASSERT_EQ(pass(kStart), 0u);
  EXPECT_EQ(stampedCount(0), 2);
  EXPECT_TRUE(purges_.empty());

  // Mounted again with one of the files gone: the usual stamp.
  present("usb/b.txt");
  ASSERT_EQ(pass(kStart + 5), 0u);
  EXPECT_EQ(deleteTimeOf(first), kStart + 5);
  EXPECT_EQ(deleteTimeOf(second), 0);
}

TEST_F(RetentionTest, AFileThatComesBackLosesItsStampAndOtherJobTypesAreIgnored) {
  addJob(kJob, 1);
  addJob(9, 1, "img");
  const QString path = present("back.txt");
  const qint64 back = addRecord(kJob, path, kStart - 50);
  const qint64 image = addRecord(9, absent("image.txt"));
  ASSERT_EQ(pass(kStart), 0u);
  EXPECT_EQ(deleteTimeOf(back), 0);
  EXPECT_EQ(deleteTimeOf(image), 0);
}

}  // namespace
