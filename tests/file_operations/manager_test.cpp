// The manager's rules: one operation at a time, one queued copy per id,
// stops by id, and how a backup of a job meets the job's operations.
#include <atomic>
#include <chrono>
#include <thread>

#include "file_operations_fixture.h"
#include "kvn_log/log.h"

namespace kvn_e2e {
namespace {

using namespace std::chrono_literals;

// An operation that runs until it is stopped or released.
class StandIn : public FileOperation {
 public:
  StandIn(const QString& id, std::int64_t jobId, bool yields, std::chrono::milliseconds runFor,
          std::shared_ptr<std::atomic<bool>> started)
      : FileOperation(id, FileOperationContext{}),
        started_(std::move(started)),
        jobId_(jobId),
        yields_(yields),
        runFor_(runFor) {}

  std::int64_t jobId() const override { return jobId_; }
  bool canYieldForBackup() const override { return yields_; }
  std::uint32_t execute(QSqlDatabase&) override {
    *started_ = true;
    const auto until = std::chrono::steady_clock::now() + runFor_;
    while (!stopRequested() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(5ms);
    KLOG_I("stand-in %s ends", qPrintable(operationId()));
    return 0;
  }
  std::int32_t processedFiles() const override { return 0; }
  QString tableName() const override { return QStringLiteral("suppression"); }

 private:
  std::shared_ptr<std::atomic<bool>> started_;
  std::int64_t jobId_;
  bool yields_;
  std::chrono::milliseconds runFor_;
};

class Manager : public FileOperationsE2E {
 protected:
  void SetUp() override {
    FileOperationsE2E::SetUp();
    manager_ = std::make_unique<FileOperationManager>(FileOperationContext{});
    manager_->initialize();
  }
  void TearDown() override {
    manager_.reset();
    FileOperationsE2E::TearDown();
  }
  // Submits a stand-in and returns its started flag.
  std::shared_ptr<std::atomic<bool>> submit(
      const QString& id, std::int64_t jobId, bool yields,
      std::chrono::milliseconds runFor = std::chrono::hours(1)) {
    auto started = std::make_shared<std::atomic<bool>>(false);
    EXPECT_EQ(manager_->submit(std::make_unique<StandIn>(id, jobId, yields, runFor, started)), 0u);
    return started;
  }
  void waitStarted(const std::shared_ptr<std::atomic<bool>>& started) {
    for (int i = 0; i < 1000 && !*started; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(*started);
  }
  std::unique_ptr<FileOperationManager> manager_;
};

TEST_F(Manager, OneRunsTheOthersWaitAndAnIdQueuesOnce) {
  auto first = submit("del-a", 3, true);
  waitStarted(first);
  submit("rst-b", 0, false, 10ms);
  submit("rst-b", 0, false, 10ms);
  submit("del-a", 3, true, 10ms);
  EXPECT_EQ(manager_->runningCount(), 1u);
  EXPECT_EQ(manager_->pendingCount(), 2u);
  EXPECT_TRUE(manager_->isPending("rst-b"));
  EXPECT_EQ(manager_->stop("del-a", true), 0u);
  waitUntilIdle(*manager_);
  EXPECT_EQ(manager_->stop("nope", true), 0xEFFEEFF9u);
  EXPECT_NE(log().find("Error: operation object not found"), std::string::npos);

  // Refusing: creations answer 0 and nothing runs.
  manager_->refuseNewOperations();
  EXPECT_EQ(manager_->createExternalRestoration("/tmp/somewhere", "rst-c"), 0u);
  EXPECT_EQ(manager_->runningCount() + manager_->pendingCount(), 0u);
  EXPECT_EQ(manager_->createExternalRestoration("/tmp/somewhere", "x"), 0xEFFEEFFAu);
}

TEST_F(Manager, ADeletionYieldsToABackupOfItsJobAndItsQueuedCopyIsDropped) {
  startBox(50);
  addJob(5, {tree()}, dataSettings(false, false));
  writeTreeFile("a.txt", "a", 1650000000);
  setFileOperationGate(manager_.get());
  auto running = submit("del-5", 5, true);
  waitStarted(running);
  auto queued = submit("del-5-next", 5, true, 10ms);
  ASSERT_TRUE(manager_->isPending("del-5-next"));

  kvn_log::setLevel(kvn_log::Debug);
  const auto result = runBackup(5).result;
  kvn_log::setLevel(kvn_log::Info);
  EXPECT_EQ(result, 0u);
  EXPECT_NE(log().find("Asking [del-5] to yield for backup (job_id=5)"), std::string::npos);
  EXPECT_LT(log().find("stand-in del-5 ends"), log().find("Backup is starting (job_id=5)"));
  waitUntilIdle(*manager_);
  EXPECT_FALSE(*queued);
}

TEST_F(Manager, AnExternalDeletionDelaysTheBackupOfItsJob) {
  startBox(51);
  addJob(5, {tree()}, dataSettings(false, false));
  writeTreeFile("a.txt", "a", 1650000000);
  setFileOperationGate(manager_.get());
  auto running = submit("ext-5", 5, false, 400ms);
  waitStarted(running);

  EXPECT_EQ(runBackup(5).result, 0u);
  EXPECT_NE(log().find("Backup delayed due to resto/del running (job_id=5)"), std::string::npos);
  EXPECT_LT(log().find("stand-in ext-5 ends"), log().find("Backup is starting (job_id=5)"));
}

}  // namespace
}  // namespace kvn_e2e
