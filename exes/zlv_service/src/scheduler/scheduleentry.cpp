#include "scheduler/scheduleentry.h"

#include <QDate>
#include <optional>

#include "scheduler/localcalendar.h"

namespace {

constexpr quint32 kWeekdayBits = 0x7F;
constexpr quint32 kMonthBits = 0xFFF;
constexpr quint32 kDayBits = 0x7FFFFFFF;
constexpr int kWeekdayWindow = 7;
constexpr int kDayOfMonthWindow = 31;

bool hasBit(qint32 mask, int index) { return (quint32(mask) >> index) & 1u; }

bool namesAny(qint32 mask, quint32 usable) { return mask > 0 && (quint32(mask) & usable) != 0; }

bool monthAllowed(qint32 monthMask, QDate day) {
  return monthMask < 1 || hasBit(monthMask, day.month() - 1);
}

// The last day of a short month stands in for the days it lacks.
bool dayOfMonthNamed(qint32 mask, QDate day) {
  if (hasBit(mask, day.day() - 1)) return true;
  return day.day() == day.daysInMonth() && ((quint32(mask) & kDayBits) >> day.day()) != 0;
}

}  // namespace

void ScheduleEntry::makeRetry() {
  periodic = true;
  dayOfWeekMask = monthMask = dayOfMonthMask = 0;
  hour = 0;
  minute = 15;
}

ScheduleEntry::NeverDue ScheduleEntry::neverDue() const {
  if (periodic) {
    if (hour < 0 && minute < 0) return NeverDue::Unscheduled;
    // A zero or negative interval would start the job at every pass.
    if (hour < 0 || minute < 0 || (hour == 0 && minute == 0)) return NeverDue::NoInterval;
    return NeverDue::No;
  }
  if (dayOfWeekMask <= 0 && dayOfMonthMask <= 0) return NeverDue::Unscheduled;
  if (!namesAny(dayOfWeekMask, kWeekdayBits) && !namesAny(dayOfMonthMask, kDayBits)) {
    return NeverDue::NoDay;
  }
  if (monthMask >= 1 && (quint32(monthMask) & kMonthBits) == 0) return NeverDue::NoMonth;
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return NeverDue::NoTimeOfDay;
  return NeverDue::No;
}

bool ScheduleEntry::isDue(qint64 now) const {
  if (neverDue() != NeverDue::No) return false;
  if (periodic) return now >= lastTime + qint64(hour) * 3600 + qint64(minute) * 60;

  // The first scheduled moment found walking back from today that has
  // passed decides; one still ahead today sends the walk to earlier days.
  const QDate today = LocalCalendar::dateOf(now);
  const auto answer = [&](QDate day) -> std::optional<bool> {
    const qint64 candidate = LocalCalendar::moment(day, hour, minute);
    if (now < candidate) return std::nullopt;
    return lastTime < candidate;
  };
  if (dayOfWeekMask > 0) {
    for (int back = 0; back < kWeekdayWindow; ++back) {
      const QDate day = today.addDays(-back);
      if (!monthAllowed(monthMask, day) || !hasBit(dayOfWeekMask, day.dayOfWeek() - 1)) continue;
      if (const auto due = answer(day)) return *due;
    }
  }
  if (dayOfMonthMask <= 0) return false;
  for (int back = 0; back < kDayOfMonthWindow; ++back) {
    const QDate day = today.addDays(-back);
    if (!monthAllowed(monthMask, day) || !dayOfMonthNamed(dayOfMonthMask, day)) continue;
    if (const auto due = answer(day)) return *due;
  }
  return false;
}

bool ScheduleEntry::sameSchedule(const ScheduleEntry& other) const {
  return schedId == other.schedId && dayOfWeekMask == other.dayOfWeekMask &&
         monthMask == other.monthMask && dayOfMonthMask == other.dayOfMonthMask &&
         hour == other.hour && minute == other.minute && periodic == other.periodic;
}

const char* neverDueText(ScheduleEntry::NeverDue reason) {
  switch (reason) {
    case ScheduleEntry::NeverDue::No: return "none";
    case ScheduleEntry::NeverDue::Unscheduled: return "no schedule";
    case ScheduleEntry::NeverDue::NoInterval: return "no positive interval";
    case ScheduleEntry::NeverDue::NoDay: return "no day of the week or month";
    case ScheduleEntry::NeverDue::NoMonth: return "no month";
    case ScheduleEntry::NeverDue::NoTimeOfDay: return "no valid time of day";
  }
  return "unknown";
}
