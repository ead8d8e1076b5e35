// Whole passes: the hand-over under the job-configuration lock, failures,
// warnings about schedules that can never be due, and the thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QThread>
#include <future>
#include <stdexcept>
#include <utility>

#include "database/jobconfiglock.h"
#include "log_capture.h"
#include "process_runner.h"
#include "scheduler/schedulerthread.h"
#include "scheduler_fixture.h"

namespace {

using namespace kvn_test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::Pair;

std::size_t count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

bool lockedElsewhere() {
  return std::async(std::launch::async,
                    [] {
                      if (!jobConfigMutex.try_lock()) return true;
                      jobConfigMutex.unlock();
                      return false;
                    })
      .get();
}

class SchedulerPass : public SchedulerDatabase {
 protected:
  const qint64 now_ = local(2024, 5, 14, 10, 0);
};

TEST_F(SchedulerPass, HandsTheDueJobsOverInEntryOrderWhileHoldingTheJobConfigLock) {
  addJob(7, every(1, 0), now_ - 7200, true);
  addJob(3, every(1, 0), now_ - 600);
  addJob(5, every(0, 30), now_ - 7200);
  clock_.set(now_);
  Scheduler scheduler(clock_);
  std::vector<std::pair<qint64, bool>> handed;
  std::vector<bool> locked;
  LogCapture capture;
  scheduler.runPass([&](qint64 jobId, bool externalize) {
    handed.emplace_back(jobId, externalize);
    locked.push_back(lockedElsewhere());
  });
  std::vector<qint64> dueInEntryOrder;
  for (const ScheduleEntry& entry : scheduler.entries()) {
    if (entry.jobId != 3) dueInEntryOrder.push_back(entry.jobId);
  }
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].first, dueInEntryOrder[0]);
  EXPECT_EQ(handed[1].first, dueInEntryOrder[1]);
  for (const auto& [jobId, externalize] : handed) EXPECT_EQ(externalize, jobId == 7);
  EXPECT_THAT(locked, ElementsAre(true, true));
  EXPECT_FALSE(lockedElsewhere());
  EXPECT_EQ(count(capture.text(), "ii "), 1u) << capture.text();
  EXPECT_EQ(count(capture.text(), "Scheduler found 2/3 jobs to run"), 1u);
}

TEST_F(SchedulerPass, APassWithNothingDueSpeaksOnlyAtDebugLevel) {
  addJob(1, every(1, 0), now_ - 600);
  addBackup(1, now_ - 900, now_ - 600, 0x1001);
  addJob(2, every(1, 0), now_ - 600);
  clock_.set(now_);
  Scheduler scheduler(clock_);
  LogCapture capture;
  scheduler.runPass([](qint64, bool) { ADD_FAILURE() << "nothing is due"; });
  EXPECT_EQ(capture.text(), "");
  kvn_log::setLevel(kvn_log::Debug);
  scheduler.runPass([](qint64, bool) {});
  const std::string text = capture.text();
  EXPECT_EQ(count(text, "dd "), 3u) << text;
  EXPECT_EQ(count(text, "last backup time: " + std::to_string(now_ - 600)), 1u) << text;
  EXPECT_EQ(count(text, "no backup yet, take job_ctime: " + std::to_string(now_ - 600)), 1u);
  EXPECT_EQ(count(text, "Scheduler found 0/2 jobs to run"), 1u);
}

TEST_F(SchedulerPass, ADatabaseFailureStartsNothingAndTheNextPassRecovers) {
  addJob(1, every(1, 0), now_ - 7200);
  clock_.set(now_);
  Scheduler scheduler(clock_);
  std::vector<qint64> handed;
  const auto record = [&](qint64 jobId, bool) { handed.push_back(jobId); };
  sql("ALTER TABLE backup RENAME TO backup_away;");
  {
    LogCapture capture;
    scheduler.runPass(record);
    const std::string text = capture.text();
    EXPECT_EQ(count(text, "EE "), 2u) << text;
    EXPECT_EQ(count(text, "sql statement 'SELECT last_time, status FROM backup WHERE"), 1u);
    EXPECT_EQ(count(text, "Scheduler Initialize error"), 1u);
  }
  EXPECT_TRUE(handed.empty());
  EXPECT_TRUE(scheduler.entries().empty());
  EXPECT_FALSE(lockedElsewhere());
  sql("ALTER TABLE backup_away RENAME TO backup;");
  scheduler.runPass(record);
  EXPECT_THAT(handed, ElementsAre(1));
}

TEST_F(SchedulerPass, AFailingHandOverKeepsNeitherTheOtherJobsNorTheLock) {
  addJob(1, every(1, 0), now_ - 7200);
  addJob(2, every(1, 0), now_ - 7200);
  clock_.set(now_);
  Scheduler scheduler(clock_);
  std::vector<qint64> handed;
  LogCapture capture;
  scheduler.runPass([&](qint64 jobId, bool) {
    handed.push_back(jobId);
    if (handed.size() == 1) throw std::runtime_error("queue broken");
  });
  EXPECT_EQ(handed.size(), 2u);
  EXPECT_EQ(count(capture.text(), "queue broken"), 1u) << capture.text();
  EXPECT_FALSE(lockedElsewhere());
}

TEST_F(SchedulerPass, SchedulesThatCanNeverBeDueAreWarnedAboutOnceUntilTheyChange) {
  addJob(1, monthly(1 << 4, 10, 0, 1 << 12), 0);     // no month
  addJob(2, weekly(1 << 7, 10, 0), 0);               // no weekday
  addJob(3, Schedule{false, 75, 10, {}, {}, 1}, 0);  // no minute 75
  addJob(4, every(0, 0), 0);                         // no interval
  addJob(5, monthly(kDay31, 10, 0), 0);              // fine
  // A second schedule row with job 1's id: the job comes up twice a pass.
  sql("INSERT INTO scheduler (sched_id, sched_isLocal, sched_min, sched_hour, "
      "sched_day_of_month, sched_month, is_periodic) VALUES (1, 1, 0, 10, 16, 8192, 0);");
  clock_.set(now_);
  Scheduler scheduler(clock_);
  std::vector<qint64> handed;
  const auto record = [&](qint64 jobId, bool) { handed.push_back(jobId); };
  LogCapture capture;
  scheduler.runPass(record);
  EXPECT_EQ(count(capture.text(), "ww "), 4u) << capture.text();
  EXPECT_EQ(count(capture.text(), "schedule 1 of job 1 can never be due (no month)"), 1u);
  scheduler.runPass(record);
  EXPECT_EQ(count(capture.text(), "ww "), 4u);
  sql("UPDATE scheduler SET sched_hour = 11 WHERE sched_id = 1;");
  scheduler.runPass(record);
  EXPECT_EQ(count(capture.text(), "ww "), 5u);
  EXPECT_THAT(handed, ElementsAre(5, 5, 5));
}

TEST_F(SchedulerPass, WaitsUntilTheNextFullMinute) {
  Scheduler scheduler(clock_);
  clock_.set(local(2024, 5, 14, 10, 0, 0));
  EXPECT_EQ(scheduler.untilNextMinute(), 60s);
  clock_.set(local(2024, 5, 14, 10, 0, 1));
  EXPECT_EQ(scheduler.untilNextMinute(), 59s);
  clock_.set(local(2024, 5, 14, 10, 0, 59));
  EXPECT_EQ(scheduler.untilNextMinute(), 1s);
}

TEST_F(SchedulerPass, TheThreadPassesAtOnceOnItsOwnConnectionAndStopsOnRequest) {
  addJob(4, every(1, 0), now_ - 7200, true);
  LogCapture capture;
  kvn_log::setLevel(kvn_log::Debug);
  std::atomic<int> handed{0};
  std::atomic<bool> onOtherThread{false};
  const Qt::HANDLE testThread = QThread::currentThreadId();
  auto thread = std::make_unique<SchedulerThread>(
      [&](qint64 jobId, bool externalize) {
        onOtherThread = QThread::currentThreadId() != testThread;
        if (jobId == 4 && externalize) ++handed;
      },
      std::make_unique<FixedClock>(now_));
  EXPECT_EQ(thread->objectName(), "Scheduler");
  thread->start();
  ASSERT_TRUE(waitFor([&] { return handed.load() == 1; }, 30s));
  thread.reset();  // the clock stands at second 0: a full minute's wait, cut short
  EXPECT_TRUE(onOtherThread.load());
  EXPECT_EQ(handed.load(), 1);
  EXPECT_EQ(count(capture.text(), "SchedulerThread starting"), 1u);
  EXPECT_FALSE(QSqlDatabase::contains(Scheduler::kConnectionName));
}

}  // namespace
