#include "backup/jobfactory.h"

#include "backup/backup.h"
#include "backup/file/fsnjob.h"
#include "backup/volume/sysimgjob.h"

std::unique_ptr<Job> createJob(Backup& backup, const QString& type) {
  if (type == QLatin1String("fsn")) return std::make_unique<FSNJob>(backup);
  if (type == QLatin1String("sysimg")) {
    return std::make_unique<SysImgJob>(backup, backup.environment().listVolumes);
  }
  return nullptr;
}
