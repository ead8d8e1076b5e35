// Local dates and scheduled moments in real time zones, checked against
// instants worked out by hand from the zones' published changes.
#include <gtest/gtest.h>

#include "scheduler/localcalendar.h"
#include "scheduler_fixture.h"

namespace {

using kvn_test::utc;

struct Moment {
  const char* zone;
  QDate date;
  int hour, minute;
  qint64 expected;
};

class LocalMoment : public ::testing::TestWithParam<Moment> {};

TEST_P(LocalMoment, GivesOneInstantPerDateAndTime) {
  const Moment& m = GetParam();
  kvn_test::ScopedTimeZone zone(m.zone);
  EXPECT_EQ(LocalCalendar::moment(m.date, m.hour, m.minute), m.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, LocalMoment,
    ::testing::Values(
        // Ordinary days, winter and summer.
        Moment{"Europe/Paris", QDate(2024, 1, 15), 22, 0, utc(2024, 1, 15, 21, 0)},
        Moment{"Europe/Paris", QDate(2024, 7, 15), 22, 0, utc(2024, 7, 15, 20, 0)},
        // 31 March 2024 02:00 CET became 03:00 CEST: before, skipped, after.
        Moment{"Europe/Paris", QDate(2024, 3, 31), 1, 59, utc(2024, 3, 31, 0, 59)},
        Moment{"Europe/Paris", QDate(2024, 3, 31), 2, 30, utc(2024, 3, 31, 1, 30)},
        Moment{"Europe/Paris", QDate(2024, 3, 31), 23, 0, utc(2024, 3, 31, 21, 0)},
        // 27 October 2024 03:00 CEST went back to 02:00 CET: 02:30 happened
        // twice and means the first time; later that day is winter time.
        Moment{"Europe/Paris", QDate(2024, 10, 27), 2, 30, utc(2024, 10, 27, 0, 30)},
        Moment{"Europe/Paris", QDate(2024, 10, 27), 23, 0, utc(2024, 10, 27, 22, 0)},
        Moment{"America/New_York", QDate(2024, 3, 10), 2, 30, utc(2024, 3, 10, 7, 30)},
        Moment{"America/New_York", QDate(2024, 11, 3), 1, 30, utc(2024, 11, 3, 5, 30)},
        // The southern hemisphere moves its clocks the other way round.
        Moment{"Australia/Sydney", QDate(2024, 10, 6), 2, 30, utc(2024, 10, 5, 16, 30)},
        Moment{"Australia/Sydney", QDate(2024, 4, 7), 2, 30, utc(2024, 4, 6, 15, 30)}));

TEST(LocalCalendar, DatesAndSecondsFollowTheZone) {
  const qint64 instant = utc(2024, 4, 30, 22, 30) + 17;
  {
    kvn_test::ScopedTimeZone zone("Europe/Paris");
    EXPECT_EQ(LocalCalendar::dateOf(instant), QDate(2024, 5, 1));
    EXPECT_EQ(LocalCalendar::secondOf(instant), 17);
  }
  kvn_test::ScopedTimeZone zone("America/New_York");
  EXPECT_EQ(LocalCalendar::dateOf(instant), QDate(2024, 4, 30));
}

}  // namespace
