// The manager's queueing, limits and stops, with stand-in runs that block
// until the test lets them end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "../kvn_log/log_capture.h"
#include "backup/backupmanager.h"
#include "kvn_log/errors.h"
#include "process_runner.h"

namespace {

using namespace std::chrono_literals;

// What the stand-in runs did, shared with the test.
struct Runs {
  std::mutex mutex;
  std::condition_variable changed;
  std::multiset<std::int64_t> started;
  std::set<std::int64_t> released;
  std::map<std::int64_t, bool> stoppedForUpgrade;
  int alive = 0;

  void release(std::int64_t jobId) {
    std::lock_guard lock(mutex);
    released.insert(jobId);
    changed.notify_all();
  }
  int startedCount(std::int64_t jobId) {
    std::lock_guard lock(mutex);
    return int(started.count(jobId));
  }
};

Runs* runs = nullptr;

class StandInRun : public BackupRun {
 public:
  explicit StandInRun(std::int64_t jobId) : jobId_(jobId) {
    std::lock_guard lock(runs->mutex);
    ++runs->alive;
  }
  ~StandInRun() override {
    std::lock_guard lock(runs->mutex);
    --runs->alive;
    runs->released.erase(jobId_);
    runs->changed.notify_all();
  }
  std::uint32_t run() override {
    std::unique_lock lock(runs->mutex);
    runs->started.insert(jobId_);
    runs->changed.notify_all();
    runs->changed.wait(lock, [&] { return runs->released.count(jobId_) != 0; });
    return KVN_OK;
  }
  void requestStop(bool forUpgrade) override {
    std::lock_guard lock(runs->mutex);
    runs->stoppedForUpgrade[jobId_] = forUpgrade;
    runs->released.insert(jobId_);
    runs->changed.notify_all();
  }

 private:
  std::int64_t jobId_;
};

class BackupManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runs = &runs_;
    BackupManager::initialize(1, [](const BackupRequest& request) {
      return std::make_unique<StandInRun>(request.jobId);
    });
  }
  void TearDown() override {
    // Every run must be gone before the next test reuses the manager.
    for (std::int64_t job = 1; job <= 9; ++job) runs_.release(job);
    EXPECT_TRUE(kvn_test::waitFor(
        [&] {
          std::lock_guard lock(runs_.mutex);
          return runs_.alive == 0 && BackupManager::activeCount() == 0 &&
                 BackupManager::queuedCount() == 0;
        },
        10s));
    BackupManager::reset();
  }
  bool waitStarted(std::int64_t jobId, int times = 1) {
    return kvn_test::waitFor([&] { return runs_.startedCount(jobId) >= times; }, 10s);
  }
  void initialize(unsigned limit) {
    BackupManager::initialize(limit, [](const BackupRequest& request) {
      return std::make_unique<StandInRun>(request.jobId);
    });
  }

  Runs runs_;
  kvn_test::LogCapture log_;
};

TEST_F(BackupManagerTest, SameJobTwiceIsIgnoredWhetherRunningOrQueued) {
  ASSERT_EQ(BackupManager::AddBackup({1, false}), KVN_OK);
  ASSERT_TRUE(waitStarted(1));
  EXPECT_EQ(BackupManager::AddBackup({1, false}), KVN_OK);  // running
  EXPECT_EQ(BackupManager::AddBackup({2, false}), KVN_OK);  // queued behind the limit
  EXPECT_EQ(BackupManager::AddBackup({2, false}), KVN_OK);  // queued already
  EXPECT_EQ(BackupManager::queuedCount(), 1u);
  EXPECT_NE(log_.text().find("AddBackup: the job 1 is already active or queued, ignored"),
            std::string::npos);
  EXPECT_NE(log_.text().find("AddBackup: the job 2 is already active or queued, ignored"),
            std::string::npos);
  runs_.release(1);
  ASSERT_TRUE(waitStarted(2));
  EXPECT_EQ(runs_.startedCount(1), 1);
  EXPECT_EQ(runs_.startedCount(2), 1);
}

TEST_F(BackupManagerTest, LimitQueuesInArrivalOrderAndStartsWhenARunEnds) {
  initialize(2);
  for (std::int64_t job : {1, 2, 3, 4}) BackupManager::AddBackup({job, false});
  ASSERT_TRUE(waitStarted(1));
  ASSERT_TRUE(waitStarted(2));
  EXPECT_EQ(BackupManager::activeCount(), 2u);
  EXPECT_EQ(BackupManager::queuedCount(), 2u);
  EXPECT_EQ(runs_.startedCount(3), 0);
  runs_.release(2);
  ASSERT_TRUE(waitStarted(3));
  EXPECT_EQ(runs_.startedCount(4), 0) << "FIFO: job 3 came first";
  EXPECT_TRUE(BackupManager::isActive(3));
  EXPECT_FALSE(BackupManager::isActive(2));
  runs_.release(1);
  ASSERT_TRUE(waitStarted(4));
}

TEST_F(BackupManagerTest, JobIdBelowOneIsAnArgumentError) {
  EXPECT_EQ(BackupManager::AddBackup({0, false}), KVN_E_ARGUMENTS);
  EXPECT_EQ(BackupManager::AddBackup({-3, false}), KVN_E_ARGUMENTS);
  EXPECT_NE(log_.text().find("Error: arguments"), std::string::npos);
  EXPECT_EQ(BackupManager::activeCount(), 0u);
}

TEST_F(BackupManagerTest, StopOfAQueuedJobIsNotFoundAndLeavesItQueued) {
  BackupManager::AddBackup({1, false});
  BackupManager::AddBackup({2, false});
  ASSERT_TRUE(waitStarted(1));
  EXPECT_EQ(BackupManager::stop(2, false), KVN_E_EXCEPTION);
  EXPECT_NE(log_.text().find("backup (job_id=2) not found"), std::string::npos);
  EXPECT_EQ(BackupManager::queuedCount(), 1u);
  EXPECT_EQ(BackupManager::stop(1, false), KVN_OK);
  ASSERT_TRUE(waitStarted(2));
  std::lock_guard lock(runs_.mutex);
  EXPECT_FALSE(runs_.stoppedForUpgrade.at(1));
}

TEST_F(BackupManagerTest, StopAllForUpgradeStopsEveryRunAndForgetsThem) {
  initialize(3);
  for (std::int64_t job : {1, 2, 3}) BackupManager::AddBackup({job, false});
  for (std::int64_t job : {1, 2, 3}) ASSERT_TRUE(waitStarted(job));
  BackupManager::stopAll(true);
  EXPECT_EQ(BackupManager::activeCount(), 0u);
  ASSERT_TRUE(kvn_test::waitFor(
      [&] {
        std::lock_guard lock(runs_.mutex);
        return runs_.alive == 0;
      },
      10s));
  {
    std::lock_guard lock(runs_.mutex);
    for (std::int64_t job : {1, 2, 3}) EXPECT_TRUE(runs_.stoppedForUpgrade.at(job));
  }
  const auto text = log_.text();
  EXPECT_NE(text.find("stopping backup (job_id=2) - (upgrade)"), std::string::npos);
  // Each forgotten run ends on its own thread and finds itself gone.
  EXPECT_NE(text.find("backup (job_id=3) not found"), std::string::npos);
}

}  // namespace

// Refusing is for the life of the process, so it is tested last, in a
// suite whose name sorts after the others.
TEST(BackupManagerZRefusal, RefusedRequestsNeverRunAndQueuedOnesAreDropped) {
  Runs local;
  runs = &local;
  BackupManager::initialize(
      1, [](const BackupRequest& request) { return std::make_unique<StandInRun>(request.jobId); });
  BackupManager::AddBackup({1, false});
  BackupManager::AddBackup({2, false});
  ASSERT_TRUE(kvn_test::waitFor([&] { return local.startedCount(1) == 1; }, 10s));
  BackupManager::refuseNewBackups();
  EXPECT_EQ(BackupManager::AddBackup({3, false}), KVN_OK);
  EXPECT_EQ(BackupManager::queuedCount(), 1u);
  local.release(1);
  ASSERT_TRUE(kvn_test::waitFor(
      [&] {
        std::lock_guard lock(local.mutex);
        return local.alive == 0 && BackupManager::queuedCount() == 0;
      },
      10s));
  EXPECT_EQ(local.startedCount(2), 0);
  EXPECT_EQ(local.startedCount(3), 0);
}
