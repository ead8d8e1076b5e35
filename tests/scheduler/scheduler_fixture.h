// A fresh agent database with jobs and backups written as the box and the
// backup runs would, a clock fixed at chosen local times, and a time zone
// set for the length of a test.
#pragma once

#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QVariant>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "fresh_database.h"
#include "scheduler/scheduler.h"

namespace kvn_test {

// Sets TZ and restores it afterwards. Qt reads the zone through the C
// library at every local conversion (after its own tzset), so the change
// takes effect at once.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// Local wall-clock time (or UTC) to an instant by the C library,
// independently of the scheduler's own conversion. Local times must be
// ones the clock shows once.
inline qint64 instant(bool isLocal, int year, int month, int day, int hour, int minute,
                      int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return isLocal ? std::mktime(&tm) : ::timegm(&tm);
}
inline qint64 local(int year, int month, int day, int hour, int minute, int second = 0) {
  return instant(true, year, month, day, hour, minute, second);
}
inline qint64 utc(int year, int month, int day, int hour, int minute) {
  return instant(false, year, month, day, hour, minute, 0);
}

class FixedClock : public SchedulerClock {
 public:
  explicit FixedClock(qint64 at = 0) : at_(at) {}
  qint64 now() const override { return at_; }
  void set(qint64 at) { at_ = at; }

 private:
  std::atomic<qint64> at_;
};

// A schedule row; unset values are NULL.
struct Schedule {
  bool periodic = false;
  std::optional<int> minute, hour, dayOfMonth, month, dayOfWeek;
};

inline Schedule every(int hours, int minutes) { return {true, minutes, hours, {}, {}, {}}; }
inline Schedule weekly(int weekdays, int hour, int minute) {
  return {false, minute, hour, {}, {}, weekdays};
}
inline Schedule monthly(int days, int hour, int minute, std::optional<int> months = {}) {
  return {false, minute, hour, days, months, {}};
}
inline constexpr int kDay31 = 1 << 30;
inline constexpr int kEveryWeekday = 0x7F;

class SchedulerDatabase : public FreshDatabase {
 protected:
  static QString value(const std::optional<int>& v) { return v ? QString::number(*v) : "NULL"; }

  // The schedule gets the job's id, as the box gives each job its own.
  void addJob(qint64 jobId, const Schedule& s, qint64 ctime, bool externalize = false) {
    sql(QString("INSERT INTO scheduler (sched_id, sched_min, sched_hour, sched_day_of_month, "
                "sched_month, sched_day_of_week, is_periodic) VALUES (%1, %2, %3, %4, %5, %6, %7);")
            .arg(jobId)
            .arg(value(s.minute), value(s.hour), value(s.dayOfMonth), value(s.month),
                 value(s.dayOfWeek))
            .arg(int(s.periodic)));
    sql(QString("INSERT INTO job (job_id, sched_id, config_max_num_versions_to_save, "
                "config_externalize, job_ctime) VALUES (%1, %1, 3, %2, %3);")
            .arg(jobId)
            .arg(int(externalize))
            .arg(ctime));
  }

  void addBackup(qint64 jobId, qint64 start, std::optional<qint64> last, int status) {
    sql(QString("INSERT INTO backup (job_id, start_time, last_time, status) "
                "VALUES (%1, %2, %3, %4);")
            .arg(jobId)
            .arg(start)
            .arg(last ? QString::number(*last) : "NULL")
            .arg(status));
  }

  // The jobs one pass at now would start.
  std::vector<qint64> dueAt(qint64 now) {
    clock_.set(now);
    Scheduler scheduler(clock_);
    EXPECT_TRUE(scheduler.initialize());
    std::vector<qint64> ids;
    for (const DueJob& job : scheduler.dueJobs()) ids.push_back(job.jobId);
    return ids;
  }
  bool isDue(qint64 jobId, qint64 now) {
    for (qint64 id : dueAt(now)) {
      if (id == jobId) return true;
    }
    return false;
  }

  ScopedTimeZone zone_{"Europe/Paris"};
  FixedClock clock_;
};

}  // namespace kvn_test
