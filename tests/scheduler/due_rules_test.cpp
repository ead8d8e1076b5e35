// When jobs are due, from rows as the box and the backup runs leave them,
// at chosen local times.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core_app_environment.h"
#include "log_capture.h"
#include "scheduler_fixture.h"

namespace {

using namespace kvn_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr int kOk = 0x1001;
constexpr int kFailed = 0x1002;
constexpr int kUpgradeStopped = 0x1200;

class DueRules : public SchedulerDatabase {};

TEST_F(DueRules, PeriodicJobsCountFromTheLastBackupOrElseTheJobCreation) {
  addJob(1, every(24, 0), local(2024, 5, 1, 9, 0));
  addBackup(1, local(2024, 5, 13, 9, 40), local(2024, 5, 13, 10, 0), kOk);
  addJob(2, every(0, 30), local(2024, 5, 14, 9, 0));   // never run, created 1 h ago
  addJob(3, every(0, 30), local(2024, 5, 14, 9, 40));  // never run, created 20 min ago
  EXPECT_THAT(dueAt(local(2024, 5, 14, 9, 59)), ElementsAre(2));
  EXPECT_THAT(dueAt(local(2024, 5, 14, 10, 0)), UnorderedElementsAre(1, 2));
  EXPECT_THAT(dueAt(local(2024, 5, 14, 10, 10)), UnorderedElementsAre(1, 2, 3));
}

TEST_F(DueRules, OnlyTheNewestFinishedBackupCounts) {
  addJob(1, every(1, 0), local(2024, 5, 1, 0, 0));
  addBackup(1, local(2024, 5, 14, 7, 0), local(2024, 5, 14, 7, 30), kOk);
  addBackup(1, local(2024, 5, 14, 8, 0), local(2024, 5, 14, 8, 30), kOk);
  addBackup(1, local(2024, 5, 14, 9, 0), std::nullopt, 0);  // still running
  EXPECT_FALSE(isDue(1, local(2024, 5, 14, 9, 29)));
  EXPECT_TRUE(isDue(1, local(2024, 5, 14, 9, 30)));
}

TEST_F(DueRules, AnUpgradeStopIsRetriedAfterFifteenMinutesButAFailureWaitsForTheSchedule) {
  addJob(1, weekly(1, 22, 0), local(2024, 5, 1, 0, 0));
  addBackup(1, local(2024, 5, 14, 7, 50), local(2024, 5, 14, 8, 0), kUpgradeStopped);
  addJob(2, weekly(1, 22, 0), local(2024, 5, 1, 0, 0));
  addBackup(2, local(2024, 5, 13, 22, 0), local(2024, 5, 13, 22, 30), kFailed);
  addJob(3, every(24, 0), local(2024, 5, 1, 0, 0));
  addBackup(3, local(2024, 5, 14, 7, 50), local(2024, 5, 14, 8, 0), kFailed);
  EXPECT_THAT(dueAt(local(2024, 5, 14, 8, 14)), IsEmpty());
  EXPECT_THAT(dueAt(local(2024, 5, 14, 8, 15)), ElementsAre(1));
  EXPECT_THAT(dueAt(local(2024, 5, 20, 22, 0)), UnorderedElementsAre(1, 2, 3));
  EXPECT_THAT(dueAt(local(2024, 5, 15, 8, 0)), UnorderedElementsAre(1, 3));
}

TEST_F(DueRules, AWeeklyScheduleLooksBackOverTodayAndTheSixDaysBefore) {
  addJob(1, weekly(1 << 0, 22, 0), local(2024, 5, 1, 0, 0));  // Monday
  addBackup(1, local(2024, 5, 6, 22, 0), local(2024, 5, 6, 22, 20), kOk);
  EXPECT_TRUE(isDue(1, local(2024, 5, 14, 8, 0)));     // Tuesday, Monday 22:00 missed
  EXPECT_FALSE(isDue(1, local(2024, 5, 13, 21, 59)));  // last Monday is 7 days back
  EXPECT_TRUE(isDue(1, local(2024, 5, 13, 22, 0)));

  addJob(2, weekly(1 << 6, 10, 0), local(2024, 5, 1, 0, 0));  // Sunday
  addBackup(2, local(2024, 5, 5, 10, 0), local(2024, 5, 5, 10, 5), kOk);
  EXPECT_FALSE(isDue(2, local(2024, 5, 11, 23, 0)));
  EXPECT_TRUE(isDue(2, local(2024, 5, 12, 10, 0)));
}

TEST_F(DueRules, TheThirtyFirstFallsOnTheLastDayOfShorterMonths) {
  addJob(1, monthly(kDay31, 22, 0), local(2024, 3, 1, 0, 0));
  addBackup(1, local(2024, 3, 31, 22, 0), local(2024, 3, 31, 22, 30), kOk);
  EXPECT_TRUE(isDue(1, local(2024, 5, 1, 0, 0)));  // 30 April was missed
  EXPECT_FALSE(isDue(1, local(2024, 4, 30, 21, 59)));
  EXPECT_TRUE(isDue(1, local(2024, 4, 30, 22, 0)));  // on the day itself
  addBackup(1, local(2024, 4, 30, 22, 0), local(2024, 4, 30, 22, 30), kOk);
  EXPECT_FALSE(isDue(1, local(2024, 5, 1, 0, 0)));
  EXPECT_FALSE(isDue(1, local(2024, 5, 30, 23, 0)));
  EXPECT_TRUE(isDue(1, local(2024, 5, 31, 22, 0)));
}

TEST_F(DueRules, FebruaryEndsOnTheTwentyEighthOrOnLeapDay) {
  for (const int year : {2023, 2024}) {
    const qint64 day29 = year * 100 + 29, day30 = year * 100 + 30;
    addJob(day29, monthly(1 << 28, 10, 0), local(year, 1, 1, 0, 0));
    addJob(day30, monthly(1 << 29, 10, 0), local(year, 1, 1, 0, 0));
    addBackup(day29, local(year, 1, 29, 10, 0), local(year, 1, 29, 10, 5), kOk);
    addBackup(day30, local(year, 1, 30, 10, 0), local(year, 1, 30, 10, 5), kOk);
  }
  EXPECT_FALSE(isDue(202329, local(2023, 2, 27, 23, 0)));
  EXPECT_TRUE(isDue(202329, local(2023, 2, 28, 10, 0)));
  EXPECT_TRUE(isDue(202330, local(2023, 2, 28, 10, 0)));
  EXPECT_FALSE(isDue(202429, local(2024, 2, 28, 12, 0)));
  EXPECT_FALSE(isDue(202430, local(2024, 2, 28, 12, 0)));
  EXPECT_TRUE(isDue(202429, local(2024, 2, 29, 10, 0)));
  EXPECT_TRUE(isDue(202430, local(2024, 2, 29, 10, 0)));
}

TEST_F(DueRules, MonthMasksBelowOneMeanEveryMonth) {
  const qint64 created = local(2024, 4, 20, 0, 0);
  addJob(1, monthly(1 << 14, 10, 0, 0), created);
  addJob(2, monthly(1 << 14, 10, 0), created);          // NULL month
  addJob(3, monthly(1 << 14, 10, 0, 1 << 5), created);  // June only
  addJob(4, monthly(1 << 14, 10, 0, 1 << 4), created);  // May only
  EXPECT_THAT(dueAt(local(2024, 5, 15, 10, 0)), UnorderedElementsAre(1, 2, 4));
  EXPECT_THAT(dueAt(local(2024, 6, 15, 10, 0)), UnorderedElementsAre(1, 2, 3));
}

TEST_F(DueRules, JobsWithoutScheduleValuesAreNeverDueAndNotWarnedAbout) {
  addJob(1, Schedule{true, {}, {}, {}, {}, {}}, 0);
  addJob(2, Schedule{false, {}, {}, {}, {}, {}}, 0);
  addJob(3, Schedule{false, 0, 10, {}, {}, {}}, 0);  // a time but no day
  LogCapture capture;
  EXPECT_THAT(dueAt(local(2024, 5, 14, 10, 0)), IsEmpty());
  EXPECT_EQ(capture.text().find("ww "), std::string::npos) << capture.text();
}

// A daily 02:30 (01:30 in New York) on the days the clock is moved,
// passing every minute from midnight to midnight and recording a backup
// whenever one starts.
struct SwitchDay {
  const char* zone;
  int year, month, day, hour, minute;
  qint64 expectedRun;
};

class DaylightSaving : public SchedulerDatabase, public ::testing::WithParamInterface<SwitchDay> {};

TEST_P(DaylightSaving, ADailyScheduleRunsExactlyOnce) {
  const SwitchDay& p = GetParam();
  ScopedTimeZone zone(p.zone);
  const qint64 dayStart = local(p.year, p.month, p.day, 0, 0);
  const qint64 dayEnd = local(p.year, p.month, p.day + 1, 0, 0);
  addJob(1, weekly(kEveryWeekday, p.hour, p.minute), dayStart - 3600);
  std::vector<qint64> runs;
  Scheduler scheduler(clock_);
  for (qint64 now = dayStart; now < dayEnd; now += 60) {
    clock_.set(now);
    scheduler.runPass([&](qint64 jobId, bool) {
      runs.push_back(now);
      addBackup(jobId, now, now + 60, kOk);
    });
  }
  EXPECT_THAT(runs, ElementsAre(p.expectedRun));
}

INSTANTIATE_TEST_SUITE_P(
    SwitchDays, DaylightSaving,
    ::testing::Values(SwitchDay{"Europe/Paris", 2024, 3, 31, 2, 30, utc(2024, 3, 31, 1, 30)},
                      SwitchDay{"Europe/Paris", 2024, 10, 27, 2, 30, utc(2024, 10, 27, 0, 30)},
                      SwitchDay{"America/New_York", 2024, 3, 10, 2, 30, utc(2024, 3, 10, 7, 30)},
                      SwitchDay{"America/New_York", 2024, 11, 3, 1, 30, utc(2024, 11, 3, 5, 30)}));

}  // namespace
