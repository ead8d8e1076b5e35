// Four jobs of one agent running at the same time through the backup
// manager, against one box: every run must end well and every job's store
// must equal its own folder, first whole, then with edits sent as deltas.
#include <QString>
#include <memory>

#include "backup/backup.h"
#include "backup/backupmanager.h"
#include "backup_e2e_fixture.h"
#include "boxsim/backup_store.h"
#include "kvn_log/errors.h"
#include "process_runner.h"

namespace kvn_e2e {
namespace {

using namespace std::chrono_literals;

constexpr std::time_t kFirstWrite = 1700000000;
constexpr int kJobs = 4;
constexpr int kFilesPerJob = 60;

class ParallelRuns : public BackupE2E {
 protected:
  QString folder(std::int64_t jobId) const { return treePath(QString("job%1").arg(jobId)); }
  QString file(std::int64_t jobId, int index) const {
    return QString("job%1/dir%2/file%3.bin").arg(jobId).arg(index % 5).arg(index);
  }
  // Starts all jobs together and waits for the manager to join their runs.
  void runAllTogether() {
    const BackupEnvironment runEnvironment = environment();
    BackupManager manager(kJobs, [runEnvironment](const BackupRequest& request) {
      return std::make_unique<Backup>(request, runEnvironment);
    });
    for (std::int64_t job = 1; job <= kJobs; ++job) {
      ASSERT_EQ(manager.AddBackup({job, false}), KVN_OK);
    }
    EXPECT_EQ(manager.activeCount(), unsigned(kJobs)) << "none may wait for another";
    ASSERT_TRUE(kvn_test::waitFor([&] { return manager.activeCount() == 0; }, 240s));
  }
  void expectEveryJobStored(int round) {
    for (std::int64_t job = 1; job <= kJobs; ++job) {
      SCOPED_TRACE(testing::Message() << "job " << job << ", round " << round);
      EXPECT_EQ(rowCount(job), round);
      const BackupRow row = lastRow(job);
      EXPECT_EQ(row.status, 0x1001);
      EXPECT_EQ(row.errors, 0);
      EXPECT_FALSE(row.lastTime.isNull()) << "the row is closed";
      const boxsim::VerifyResult verified = boxsim::verify(box().store(), folder(job), job);
      EXPECT_EQ(verified.passed, kFilesPerJob);
      EXPECT_TRUE(verified.mismatches.isEmpty()) << verified.mismatches.join("\n").toStdString();
    }
  }
};

TEST_F(ParallelRuns, FourJobsTogetherEachStoreMatchesItsFolderWholeThenByDeltas) {
  startBoxAt("127.0.26.20");
  for (std::int64_t job = 1; job <= kJobs; ++job) {
    for (int i = 0; i < kFilesPerJob; ++i) {
      writeTreeFile(file(job, i), noise(1000 + 997 * i, std::uint32_t(job * 1000 + i)),
                    kFirstWrite + i);
    }
    JobSettings settings;
    settings.crypto = job % 2 == 0;
    settings.compression = job > 2;
    addJob(job, {folder(job)}, settings);
  }
  runAllTogether();
  expectEveryJobStored(1);

  // Every job edits a few files; each goes as a delta against the
  // signature its own run kept.
  for (std::int64_t job = 1; job <= kJobs; ++job) {
    for (int i = 0; i < kFilesPerJob; i += 7) {
      QByteArray content = noise(1000 + 997 * i, std::uint32_t(job * 1000 + i));
      content.append("edited");
      writeTreeFile(file(job, i), content, kFirstWrite + 100000 + i);
    }
  }
  runAllTogether();
  expectEveryJobStored(2);
}

}  // namespace
}  // namespace kvn_e2e
