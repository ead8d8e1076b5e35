// Where the scheduler takes "now" from, so that a pass can be run at any
// chosen moment. Instants are seconds since 1970 (UTC); their local reading
// comes from LocalCalendar.
#pragma once

#include <QtGlobal>

class SchedulerClock {
 public:
  virtual ~SchedulerClock() = default;
  virtual qint64 now() const = 0;
};

// The machine's clock.
class SystemClock : public SchedulerClock {
 public:
  qint64 now() const override;
};
