// The simulator's job definitions: the JSON form, its refusals, and the
// statements made of it.
#include <gtest/gtest.h>

#include "boxsim/job_definitions.h"

namespace {

std::optional<std::vector<boxsim::JobDefinition>> parse(const char* json, QString* error) {
  return boxsim::parseJobDefinitions(QByteArray(json), error);
}

TEST(JobDefinitions, TheExampleFileIsOneFileJobEveryMinute) {
  QString error;
  const auto jobs =
      boxsim::loadJobDefinitions(KVN_TEST_SOURCE_DIR "/tools/boxsim/jobs.example.json", &error);
  ASSERT_TRUE(jobs.has_value()) << error.toStdString();
  ASSERT_EQ(jobs->size(), 1u);
  const boxsim::JobDefinition& job = jobs->front();
  EXPECT_EQ(job.type, "fsn");
  EXPECT_TRUE(job.schedule.periodic);
  EXPECT_EQ(job.schedule.hour * 60 + job.schedule.minute, 1);
  EXPECT_GT(job.created, 0);
  EXPECT_EQ(job.paths, QStringList({"/tmp/zelvo-demo-data/"}));
}

TEST(JobDefinitions, CalendarSchedulesBecomeTheSchedulerMasks) {
  QString error;
  const auto jobs = parse(
      R"({"jobs": [{"id": 3, "schedule": {"at": "22:05", "weekdays": ["mon", "SUN"],
          "days": [1, 31], "months": [12]}}]})",
      &error);
  ASSERT_TRUE(jobs.has_value()) << error.toStdString();
  const boxsim::JobSchedule& s = jobs->front().schedule;
  EXPECT_FALSE(s.periodic);
  EXPECT_EQ(s.hour, 22);
  EXPECT_EQ(s.minute, 5);
  EXPECT_EQ(s.weekdayMask, 0x41u);
  EXPECT_EQ(s.dayOfMonthMask, 0x40000001u);
  EXPECT_EQ(s.monthMask, 0x800u);
}

TEST(JobDefinitions, MistakesAreRefusedWithTheirPlace) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"jobs": [{"id": 1, "schedule": {"every_minutes": 1}, "path": []}]})",
       "jobs[0]: unknown key \"path\""},
      {R"({"jobs": [{"schedule": {"every_minutes": 1}}]})", "jobs[0]: id is required"},
      {R"({"jobs": [{"id": 1, "schedule": {"at": "25:00", "days": [1]}}]})",
       "jobs[0].schedule: at must be a time of day"},
      {R"({"jobs": [{"id": 1, "schedule": {"at": "10:00"}}]})", "needs weekdays or days"},
      {R"({"jobs": [{"id": 1, "schedule": {"at": "10:00", "weekdays": ["mo"]}}]})",
       "weekdays are mon"},
      {R"({"jobs": [{"id": 1, "schedule": {"every_minutes": 0}}]})", "must not be 0"},
      {R"({"jobs": [{"id": 1, "schedule": {"every_minutes": 1}, "use_crypto": 1}]})",
       "use_crypto must be true or false"},
      {R"({"jobs": [{"id": 1, "schedule": {"every_minutes": 1}},
                    {"id": 1, "schedule": {"every_minutes": 2}}]})",
       "job id 1 appears twice"},
      {R"([1, 2])", "top level: must be an object"},
      {R"({"jobs": [)", "not JSON"},
  };
  for (const auto& [json, reason] : cases) {
    QString error;
    EXPECT_FALSE(parse(json, &error).has_value()) << json;
    EXPECT_TRUE(error.contains(reason)) << error.toStdString() << " / " << reason;
  }
}

TEST(JobDefinitions, TextsAreQuotedAndLineBreaksRefused) {
  boxsim::JobDefinition job;
  job.id = 5;
  job.name = "it's %2";
  job.paths = {"C:\\Users\\ann's\\"};
  const auto lines = boxsim::jobSqlLines({job}, nullptr);
  ASSERT_TRUE(lines.has_value());
  EXPECT_TRUE(lines->filter("INSERT INTO job ").front().contains("'it''s %2'"));
  EXPECT_TRUE(lines->filter("INSERT INTO pattern ").front().contains("'C:|Users|ann''s|'"));

  job.exclusions = {"/a\nDROP TABLE file"};
  QString error;
  EXPECT_FALSE(boxsim::jobSqlLines({job}, &error).has_value());
  EXPECT_TRUE(error.contains("line break"));
}

}  // namespace
