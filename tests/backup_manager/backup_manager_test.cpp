// The manager's queueing, limits and stops, with stand-in runs that block
// until the test lets them end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

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
  // Jobs whose run ignores a stop until released.
  std::set<std::int64_t> stubborn;
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
    if (runs->stubborn.count(jobId_)) return;
    runs->released.insert(jobId_);
    runs->changed.notify_all();
  }

 private:
  std::int64_t jobId_;
};

class BackupManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { runs = &runs_; }
  void TearDown() override {
    // The manager stops what still runs and joins every thread it started.
    manager_.reset();
    std::lock_guard lock(runs_.mutex);
    EXPECT_EQ(runs_.alive, 0);
  }
  bool waitStarted(std::int64_t jobId, int times = 1) {
    return kvn_test::waitFor([&] { return runs_.startedCount(jobId) >= times; }, 10s);
  }
  BackupManager& manager(unsigned limit = 1) {
    if (!manager_) {
      manager_ = std::make_unique<BackupManager>(limit, [](const BackupRequest& request) {
        return std::make_unique<StandInRun>(request.jobId);
      });
    }
    return *manager_;
  }

  Runs runs_;
  kvn_test::LogCapture log_;
  std::unique_ptr<BackupManager> manager_;
};

TEST_F(BackupManagerTest, SameJobTwiceIsIgnoredWhetherRunningOrQueued) {
  BackupManager& backups = manager();
  ASSERT_EQ(backups.AddBackup({1, false}), KVN_OK);
  ASSERT_TRUE(waitStarted(1));
  EXPECT_EQ(backups.AddBackup({1, false}), KVN_OK);  // running
  EXPECT_EQ(backups.AddBackup({2, false}), KVN_OK);  // queued behind the limit
  EXPECT_EQ(backups.AddBackup({2, false}), KVN_OK);  // queued already
  EXPECT_EQ(backups.queuedCount(), 1u);
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
  BackupManager& backups = manager(2);
  for (std::int64_t job : {1, 2, 3, 4}) backups.AddBackup({job, false});
  ASSERT_TRUE(waitStarted(1));
  ASSERT_TRUE(waitStarted(2));
  EXPECT_EQ(backups.activeCount(), 2u);
  EXPECT_EQ(backups.queuedCount(), 2u);
  EXPECT_EQ(runs_.startedCount(3), 0);
  runs_.release(2);
  ASSERT_TRUE(waitStarted(3));
  EXPECT_EQ(runs_.startedCount(4), 0) << "FIFO: job 3 came first";
  EXPECT_TRUE(backups.isActive(3));
  EXPECT_FALSE(backups.isActive(2));
  runs_.release(1);
  ASSERT_TRUE(waitStarted(4));
}

TEST_F(BackupManagerTest, JobIdBelowOneIsAnArgumentError) {
  BackupManager& backups = manager();
  EXPECT_EQ(backups.AddBackup({0, false}), KVN_E_ARGUMENTS);
  EXPECT_EQ(backups.AddBackup({-3, false}), KVN_E_ARGUMENTS);
  EXPECT_NE(log_.text().find("Error: arguments"), std::string::npos);
  EXPECT_EQ(backups.activeCount(), 0u);
}

TEST_F(BackupManagerTest, StopOfAQueuedJobIsNotFoundAndLeavesItQueued) {
  BackupManager& backups = manager();
  backups.AddBackup({1, false});
  backups.AddBackup({2, false});
  ASSERT_TRUE(waitStarted(1));
  EXPECT_EQ(backups.stop(2, false), KVN_E_EXCEPTION);
  EXPECT_NE(log_.text().find("backup (job_id=2) not found"), std::string::npos);
  EXPECT_EQ(backups.queuedCount(), 1u);
  EXPECT_EQ(backups.stop(1, false), KVN_OK);
  ASSERT_TRUE(waitStarted(2));
  std::lock_guard lock(runs_.mutex);
  EXPECT_FALSE(runs_.stoppedForUpgrade.at(1));
}

TEST_F(BackupManagerTest, StopAllForUpgradeStopsEveryRunAndForgetsThem) {
  BackupManager& backups = manager(3);
  for (std::int64_t job : {1, 2, 3}) backups.AddBackup({job, false});
  for (std::int64_t job : {1, 2, 3}) ASSERT_TRUE(waitStarted(job));
  backups.stopAll(true);
  EXPECT_EQ(backups.activeCount(), 0u);
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

TEST_F(BackupManagerTest, RefusedRequestsNeverRunAndQueuedOnesAreDropped) {
  BackupManager& backups = manager();
  backups.AddBackup({1, false});
  backups.AddBackup({2, false});
  ASSERT_TRUE(waitStarted(1));
  backups.refuseNewBackups();
  EXPECT_EQ(backups.AddBackup({3, false}), KVN_OK);
  EXPECT_EQ(backups.queuedCount(), 1u);
  runs_.release(1);
  ASSERT_TRUE(kvn_test::waitFor(
      [&] {
        // Never into the manager while holding the runs' mutex: the manager
        // makes and ends runs under its own.
        {
          std::lock_guard lock(runs_.mutex);
          if (runs_.alive != 0) return false;
        }
        return backups.queuedCount() == 0;
      },
      10s));
  EXPECT_EQ(runs_.startedCount(2), 0);
  EXPECT_EQ(runs_.startedCount(3), 0);
}

// Threads of ended runs are joined along the way and the rest at the end:
// a long-lived agent does not pile them up, and nothing outlives the
// manager.
TEST_F(BackupManagerTest, ThreadsAreJoinedAlongTheWayAndAtTheEnd) {
  const auto threadCount = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                         std::filesystem::directory_iterator{});
  };
  const auto before = threadCount();
  BackupManager& backups = manager(2);
  for (int round = 1; round <= 20; ++round) {
    ASSERT_EQ(backups.AddBackup({1, false}), KVN_OK);
    ASSERT_TRUE(waitStarted(1, round));
    runs_.release(1);
    ASSERT_TRUE(kvn_test::waitFor([&] { return backups.activeCount() == 0; }, 10s));
  }
  // The dispatcher, at most the last run's thread and the one about to end.
  EXPECT_LE(threadCount(), before + 3);

  runs_.stubborn.insert(2);
  backups.AddBackup({2, false});
  backups.AddBackup({3, false});
  ASSERT_TRUE(waitStarted(2));
  ASSERT_TRUE(waitStarted(3));
  EXPECT_FALSE(backups.finalize(50ms)) << "job 2 ignores the stop";
  EXPECT_EQ(backups.AddBackup({4, false}), KVN_OK);
  EXPECT_EQ(runs_.startedCount(4), 0) << "refused after finalize";
  std::thread late([&] {
    std::this_thread::sleep_for(100ms);
    runs_.release(2);
  });
  manager_.reset();  // waits for job 2 however long it takes
  late.join();
  std::lock_guard lock(runs_.mutex);
  EXPECT_EQ(runs_.alive, 0);
  EXPECT_EQ(threadCount(), before);
}

}  // namespace
