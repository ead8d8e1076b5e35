// Which Job a run creates for a job_type of the job table.
#pragma once

#include <QString>
#include <memory>

#include "backup/job.h"

// "fsn": a file backup; "sysimg": a system image. Null for a type this
// build does not know.
std::unique_ptr<Job> createJob(Backup& backup, const QString& type);
