// The local calendar of the machine's time zone (re-read at every call, so
// a change of zone takes effect at the next pass).
#pragma once

#include <QDate>
#include <QtGlobal>

class LocalCalendar {
 public:
  static QDate dateOf(qint64 instant);
  static int secondOf(qint64 instant);

  // The instant at which the local clock reads hour:minute:00 on date
  // (hour 0-23, minute 0-59). Every date and time gives exactly one
  // instant, so that a daily schedule fires once on the days the clock is
  // moved: a time that the clock skips is read with the offset in force
  // before the change (02:30 becomes 03:30 when 02:00 jumps to 03:00), and
  // a time that the clock shows twice means its first occurrence.
  static qint64 moment(QDate date, int hour, int minute);
};
