#include "backup/jobfactory.h"

#include "backup/file/fsnjob.h"

std::unique_ptr<Job> createJob(Backup& backup, const QString& type) {
  if (type == QLatin1String("fsn")) return std::make_unique<FSNJob>(backup);
  return nullptr;
}
