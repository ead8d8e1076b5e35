// Deletions started by the agent and external deletions named by the box:
// the box's store and the agent's records and signatures forget the files
// together.
#include <QFileInfo>
#include <QSqlQuery>

#include "file_operations_fixture.h"

namespace kvn_e2e {
namespace {

constexpr std::time_t kTime = 1650000000;

class Deletions : public FileOperationsE2E {
 protected:
  // The job's records as deletion entries.
  QList<DeletionFile> records(std::int64_t jobId) {
    QList<DeletionFile> files;
    QSqlQuery query =
        sql(QString("SELECT path, id_file FROM file WHERE job_id=%1 ORDER BY path").arg(jobId));
    while (query.next()) files.append({query.value(0).toString(), query.value(1).toLongLong()});
    return files;
  }
  int countOf(const std::string& text, std::size_t from = 0) const {
    const std::string all = log();
    int n = 0;
    for (std::size_t at = all.find(text, from); at != std::string::npos;
         at = all.find(text, at + 1))
      ++n;
    return n;
  }
  void startManager() {
    manager_ = std::make_unique<FileOperationManager>(context());
    manager_->initialize();
  }
  std::unique_ptr<FileOperationManager> manager_;
};

TEST_F(Deletions, SixtyFilesLeaveTheBoxAndTheAgentTogether) {
  startBox(40);
  addJob(1, {tree()}, dataSettings(false, false));
  for (int i = 0; i < 60; ++i)
    writeTreeFile(QString("gone/file %1.txt").arg(i), QByteArray::number(i), kTime + i);
  writeTreeFile("kept.txt", "kept", kTime);
  ASSERT_EQ(runBackup(1).result, 0u);
  QList<DeletionFile> files = records(1);
  files.erase(std::remove_if(files.begin(), files.end(),
                             [](const DeletionFile& f) { return f.path.endsWith("kept.txt"); }),
              files.end());
  ASSERT_EQ(files.size(), 60);
  const QString someSignature =
      signaturePath(1, files[7].path, recordedLastWrite(1, files[7].path).toLongLong());
  ASSERT_TRUE(QFileInfo::exists(someSignature)) << someSignature.toStdString();

  startManager();
  ASSERT_EQ(manager_->createDeletion("del-60", 1, files), 0u);
  manager_->waitForJob(1);

  EXPECT_EQ(fileOperationsBox().deleted().size(), 60u);
  for (const DeletionFile& f : files)
    EXPECT_FALSE(box().store().newest(1, f.path)) << f.path.toStdString();
  EXPECT_TRUE(box().store().newest(1, treePath("kept.txt")));
  EXPECT_EQ(records(1).size(), 1);
  EXPECT_FALSE(QFileInfo::exists(someSignature));
  EXPECT_EQ(record().notes().filter("deletion request DONE").size(), 60);
  EXPECT_TRUE(record().notes().contains("deletion request END"));
  EXPECT_TRUE(record().notes().contains("confirm 0x60000001"));
  // The run's row is closed.
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM suppression WHERE id_restore='del-60' AND "
                   "last_time IS NOT NULL AND status=0")
                .toInt(),
            1);
}

TEST_F(Deletions, ARefusedStartTouchesNothingAndStillConfirms) {
  startBox(41);
  addJob(1, {tree()}, dataSettings(false, false));
  writeTreeFile("a.txt", "a", kTime);
  ASSERT_EQ(runBackup(1).result, 0u);
  fileOperationsBox().refuseDeletions(0x1234, "busy");
  startManager();
  ASSERT_EQ(manager_->createDeletion("del-refused", 1, records(1)), 0u);
  manager_->waitForJob(1);
  EXPECT_NE(log().find("Cannot start deletion on server: error 0x00001234, 'busy'"),
            std::string::npos);
  EXPECT_TRUE(record().waitUntil(
      [](const boxsim::Record& r) { return r.notes().contains("confirm 0x60000001"); }));
  EXPECT_TRUE(fileOperationsBox().deleted().empty());
  EXPECT_EQ(records(1).size(), 1);
  EXPECT_TRUE(box().store().newest(1, treePath("a.txt")));
}

TEST_F(Deletions, AnExternalDeletionFollowsTheBoxFromJobToJob) {
  startBox(42);
  addJob(1, {tree() + "/one"}, dataSettings(false, false));
  addJob(2, {tree() + "/two"}, dataSettings(false, false));
  writeTreeFile("one/a.txt", "a", kTime);
  writeTreeFile("one/b.txt", "b", kTime);
  writeTreeFile("two/c.txt", "c", kTime);
  ASSERT_EQ(runBackup(1).result, 0u);
  ASSERT_EQ(runBackup(2).result, 0u);
  const QString unknown = treePath("one/never backed up.txt");
  fileOperationsBox().prepareExternalDeletion("ext-1", {{1, treePath("one/a.txt")},
                                                        {2, treePath("two/c.txt")},
                                                        {1, treePath("one/b.txt")},
                                                        {1, unknown}});
  const std::size_t mark = log().size();
  startManager();
  ASSERT_EQ(manager_->createExternalDeletion("ext-1"), 0u);
  waitUntilIdle(*manager_);

  EXPECT_TRUE(records(1).isEmpty());
  EXPECT_TRUE(records(2).isEmpty());
  EXPECT_FALSE(QFileInfo::exists(signaturePath(2, treePath("two/c.txt"), kTime)));
  // Loaded again at every change of job: 1, 2, 1.
  EXPECT_EQ(countOf("paths loaded in versions", mark), 3);
  EXPECT_EQ(countOf("Signature not found", mark), 1);
  EXPECT_TRUE(record().waitUntil(
      [](const boxsim::Record& r) { return r.notes().contains("confirm 0x62000001"); }));
}

TEST_F(Deletions, AnUnknownExternalDeletionIsNoCount) {
  startBox(43);
  startManager();
  ASSERT_EQ(manager_->createExternalDeletion("ext-unknown"), 0u);
  waitUntilIdle(*manager_);
  EXPECT_TRUE(record().notes().contains("external deletion unknown ext-unknown"));
  EXPECT_NE(log().find("Error calculating GetDeletionExtFilesNumber"), std::string::npos);
}

}  // namespace
}  // namespace kvn_e2e
