#include "scheduler/localcalendar.h"

#include <QDateTime>
#include <QTime>

namespace {

constexpr qint64 kDay = 86400;

QDateTime localDateTime(qint64 instant) {
  return QDateTime::fromSecsSinceEpoch(instant, Qt::LocalTime);
}

int offsetAt(qint64 instant) { return localDateTime(instant).offsetFromUtc(); }

}  // namespace

QDate LocalCalendar::dateOf(qint64 instant) { return localDateTime(instant).date(); }

int LocalCalendar::secondOf(qint64 instant) { return localDateTime(instant).time().second(); }

qint64 LocalCalendar::moment(QDate date, int hour, int minute) {
  // The clock reading counted as if it were UTC; subtracting the offset in
  // force gives the instant. A day away on either side the offset is the
  // one from before and after any change near that reading.
  const qint64 reading =
      QDateTime(date, QTime(0, 0), Qt::UTC).toSecsSinceEpoch() + hour * 3600 + minute * 60;
  const int before = offsetAt(reading - kDay);
  const int after = offsetAt(reading + kDay);
  if (offsetAt(reading - before) == before) return reading - before;
  if (offsetAt(reading - after) == after) return reading - after;
  return reading - before;  // skipped by the clock
}
