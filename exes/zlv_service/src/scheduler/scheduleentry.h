// One job and its schedule, as a scheduler pass sees them, and the rules
// that say whether the job is due.
#pragma once

#include <QtGlobal>

struct ScheduleEntry {
  // Why an entry can never be due. Unscheduled is a job without a schedule
  // (run only on request); the others are schedules that cannot match.
  enum class NeverDue { No, Unscheduled, NoInterval, NoDay, NoMonth, NoTimeOfDay };

  qint64 jobId = 0;
  qint64 schedId = 0;
  qint32 dayOfWeekMask = -1;   // bit 0 Monday .. bit 6 Sunday
  qint32 monthMask = -1;       // bit 0 January .. bit 11 December; below 1: every month
  qint32 dayOfMonthMask = -1;  // bit k: day k+1; a day a month lacks falls on its last day
  // Periodic: the interval between two runs; calendar: the time of day.
  qint32 hour = -1;
  qint32 minute = -1;
  bool periodic = false;
  bool externalize = false;  // handed on with the job id
  qint64 lastTime = 0;       // end of the last backup, else the job's creation

  // A backup stopped for an upgrade is taken up again 15 minutes after it
  // ended, whatever the schedule.
  void makeRetry();

  NeverDue neverDue() const;

  // Periodic: the interval has passed since lastTime. Calendar: the most
  // recent scheduled moment up to now (within the last 7 days for weekday
  // masks, 31 days for day-of-month masks) lies after lastTime.
  bool isDue(qint64 now) const;

  bool sameSchedule(const ScheduleEntry& other) const;
};

const char* neverDueText(ScheduleEntry::NeverDue reason);
