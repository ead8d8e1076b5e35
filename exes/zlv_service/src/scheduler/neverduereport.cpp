#include "scheduler/neverduereport.h"

#include "kvn_log/log.h"

void NeverDueReport::note(const ScheduleEntry& entry, ScheduleEntry::NeverDue reason) {
  if (!thisPass_.emplace(entry.jobId, entry).second) return;
  const auto previous = reported_.find(entry.jobId);
  if (previous != reported_.end() && previous->second.sameSchedule(entry)) return;
  if (reason == ScheduleEntry::NeverDue::Unscheduled) {
    KLOG_D("job %lld has no schedule, it runs only on request", entry.jobId);
  } else {
    KLOG_W("schedule %lld of job %lld can never be due (%s), the job is not scheduled",
           entry.schedId, entry.jobId, neverDueText(reason));
  }
}

void NeverDueReport::endPass() {
  reported_ = std::move(thisPass_);
  thisPass_.clear();
}
