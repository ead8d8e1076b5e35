#include "scheduler/scheduler.h"

#include <QSqlError>
#include <QVariant>
#include <exception>
#include <mutex>

#include "database/jobconfiglock.h"
#include "database/sqlerror.h"
#include "kvn_log/log.h"
#include "scheduler/localcalendar.h"

namespace {

// NULL schedule values come back as -1 (0 for the id), which no rule
// matches.
constexpr const char* kSelectEntries =
    "SELECT CASE WHEN scheduler.sched_id IS NULL THEN 0 ELSE scheduler.sched_id END AS sched_id, "
    "CASE WHEN scheduler.sched_min IS NULL THEN -1 ELSE scheduler.sched_min END AS sched_min, "
    "CASE WHEN scheduler.sched_hour IS NULL THEN -1 ELSE scheduler.sched_hour END AS sched_hour, "
    "CASE WHEN scheduler.sched_day_of_month IS NULL THEN -1 ELSE scheduler.sched_day_of_month "
    "END AS sched_day_of_month, "
    "CASE WHEN scheduler.sched_month IS NULL THEN -1 ELSE scheduler.sched_month END AS "
    "sched_month, "
    "CASE WHEN scheduler.sched_day_of_week IS NULL THEN -1 ELSE scheduler.sched_day_of_week END "
    "AS sched_day_of_week, \tscheduler.is_periodic AS is_periodic, \tjob.job_id AS job_id,  "
    "job.config_externalize AS config_externalize FROM scheduler, job WHERE job.sched_id = "
    "scheduler.sched_id;";

// Runs still in progress have no last_time and do not count.
constexpr const char* kSelectLastBackup =
    "SELECT last_time, status FROM backup WHERE  job_id=:job_id AND  last_time IS NOT NULL "
    "ORDER BY start_time DESC LIMIT 1;";

constexpr const char* kSelectJobCreation = "SELECT job_ctime FROM job WHERE job_id=:job_id;";

constexpr int kUpgradeStopBit = 0x200;

ScheduleEntry entryFromRow(const QSqlQuery& row) {
  ScheduleEntry entry;
  entry.jobId = row.value("job_id").toLongLong();
  entry.schedId = row.value("sched_id").toLongLong();
  entry.dayOfWeekMask = row.value("sched_day_of_week").toInt();
  entry.monthMask = row.value("sched_month").toInt();
  entry.dayOfMonthMask = row.value("sched_day_of_month").toInt();
  entry.hour = row.value("sched_hour").toInt();
  entry.minute = row.value("sched_min").toInt();
  entry.periodic = row.value("is_periodic").toInt() != 0;
  entry.externalize = row.value("config_externalize").toInt() != 0;
  return entry;
}

bool failed(const char* statement, const QSqlQuery& query) {
  KLOG_SQL_FAILURE(statement, query.lastError());
  return false;
}

}  // namespace

Scheduler::Scheduler(const SchedulerClock& clock) : clock_(clock) {
  connection_.emplace(kConnectionName);
}

bool Scheduler::initialize() {
  entries_.clear();
  if (loadEntries()) return true;
  entries_.clear();  // never half a load
  return false;
}

bool Scheduler::loadEntries() {
  QSqlDatabase& db = connection_->db();
  QSqlQuery select(db);
  if (!select.exec(kSelectEntries)) return failed(kSelectEntries, select);
  while (select.next()) entries_.push_back(entryFromRow(select));
  // next() also ends on a read error, which must not pass for the end.
  if (select.lastError().isValid()) return failed(kSelectEntries, select);

  QSqlQuery lastBackup(db);
  if (!lastBackup.prepare(kSelectLastBackup)) return failed(kSelectLastBackup, lastBackup);
  QSqlQuery creation(db);
  if (!creation.prepare(kSelectJobCreation)) return failed(kSelectJobCreation, creation);
  for (ScheduleEntry& entry : entries_) {
    if (!loadLastTime(lastBackup, creation, entry)) return false;
  }
  return true;
}

bool Scheduler::loadLastTime(QSqlQuery& lastBackup, QSqlQuery& creation, ScheduleEntry& entry) {
  lastBackup.bindValue(":job_id", entry.jobId);
  if (!lastBackup.exec()) return failed(kSelectLastBackup, lastBackup);
  if (lastBackup.next()) {
    entry.lastTime = lastBackup.value(0).toLongLong();
    KLOG_D("last backup time: %lld", entry.lastTime);
    if (lastBackup.value(1).toInt() & kUpgradeStopBit) entry.makeRetry();
    lastBackup.finish();
    return true;
  }
  if (lastBackup.lastError().isValid()) return failed(kSelectLastBackup, lastBackup);

  creation.bindValue(":job_id", entry.jobId);
  if (!creation.exec()) return failed(kSelectJobCreation, creation);
  if (creation.next()) {
    entry.lastTime = creation.value(0).toLongLong();
    KLOG_D("no backup yet, take job_ctime: %lld", entry.lastTime);
  } else if (creation.lastError().isValid()) {
    return failed(kSelectJobCreation, creation);
  }
  creation.finish();
  return true;
}

std::vector<DueJob> Scheduler::dueJobs() {
  const qint64 now = clock_.now();
  std::vector<DueJob> due;
  for (const ScheduleEntry& entry : entries_) {
    const ScheduleEntry::NeverDue never = entry.neverDue();
    if (never != ScheduleEntry::NeverDue::No) {
      neverDue_.note(entry, never);
    } else if (entry.isDue(now)) {
      due.push_back({entry.jobId, entry.externalize});
    }
  }
  neverDue_.endPass();
  return due;
}

void Scheduler::runPass(const BackupHandOver& handOver) {
  std::lock_guard lock(jobConfigMutex);
  std::vector<DueJob> due;
  if (!initialize()) {
    KLOG_E("Scheduler Initialize error");
  } else {
    due = dueJobs();
    if (!due.empty()) {
      KLOG_I("Scheduler found %d/%d jobs to run", int(due.size()), int(entries_.size()));
    } else {
      KLOG_D("Scheduler found %d/%d jobs to run", int(due.size()), int(entries_.size()));
    }
  }
  // A fresh connection each pass, so that a broken one does not outlive a
  // failure and no read lock lingers between passes.
  connection_.reset();
  connection_.emplace(kConnectionName);
  handOverEach(due, handOver);
}

void Scheduler::handOverEach(const std::vector<DueJob>& due, const BackupHandOver& handOver) {
  // One job that cannot be handed over must neither keep the others from
  // starting nor end the scheduler's thread.
  for (const DueJob& job : due) {
    try {
      handOver(job.jobId, job.externalize);
    } catch (const std::exception& e) {
      KLOG_E("cannot start scheduled job %lld: %s", job.jobId, e.what());
    } catch (...) {
      KLOG_E("cannot start scheduled job %lld: unknown exception", job.jobId);
    }
  }
}

std::chrono::seconds Scheduler::untilNextMinute() const {
  return std::chrono::seconds(60 - LocalCalendar::secondOf(clock_.now()));
}
