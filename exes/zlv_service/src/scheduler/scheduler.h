// Decides once a minute which backup jobs are due and hands them on. It
// keeps nothing between passes that decides a start: whether a job is due
// comes from its schedule, the clock and the time of its last backup in
// the database.
#pragma once

#include <QSqlQuery>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "database/scopedconnection.h"
#include "scheduler/neverduereport.h"
#include "scheduler/scheduleentry.h"
#include "scheduler/schedulerclock.h"

struct DueJob {
  qint64 jobId;
  bool externalize;
};

// Receives each due job; the backup manager's AddBackup in the service. It
// is called with jobConfigMutex held, so it must start or queue the run and
// return without waiting for the job configuration.
using BackupHandOver = std::function<void(qint64 jobId, bool externalize)>;

class Scheduler {
 public:
  static constexpr const char* kConnectionName = "Scheduler";

  // Opens the connection "Scheduler", which belongs to the calling thread
  // and leaves the registry with this object. The clock must outlive it.
  explicit Scheduler(const SchedulerClock& clock);

  // Reloads the entries from the job tables. After a database failure
  // (logged) it returns false and holds no entries.
  bool initialize();

  // The due entries as (job id, externalize), in entry order. Entries that
  // can never be due are reported (see NeverDueReport).
  std::vector<DueJob> dueJobs();

  const std::vector<ScheduleEntry>& entries() const { return entries_; }

  // One pass with jobConfigMutex held throughout: reload, find the due
  // jobs, renew the connection, hand each due job over. A failed reload
  // starts nothing; the next pass retries.
  void runPass(const BackupHandOver& handOver);

  // From the clock's now to the next full minute: 1 to 60 s.
  std::chrono::seconds untilNextMinute() const;

 private:
  bool loadEntries();
  bool loadLastTime(QSqlQuery& lastBackup, QSqlQuery& creation, ScheduleEntry& entry);
  void handOverEach(const std::vector<DueJob>& due, const BackupHandOver& handOver);

  const SchedulerClock& clock_;
  std::optional<kvn_agent_database::ScopedConnection> connection_;
  std::vector<ScheduleEntry> entries_;
  NeverDueReport neverDue_;
};
