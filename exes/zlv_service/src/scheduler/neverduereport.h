// Logs the jobs whose schedule can never be due: once per job per pass at
// most, and not again in later passes while the schedule stays the same,
// so that one broken schedule does not repeat its warning every minute.
#pragma once

#include <map>

#include "scheduler/scheduleentry.h"

class NeverDueReport {
 public:
  void note(const ScheduleEntry& entry, ScheduleEntry::NeverDue reason);

  // Jobs not noted in the pass just ended are forgotten: should their
  // schedule break again later, they are reported again.
  void endPass();

 private:
  std::map<qint64, ScheduleEntry> reported_;  // by job id, up to the last pass
  std::map<qint64, ScheduleEntry> thisPass_;
};
