#include "backup/volume/sysimgjob.h"

#include <QSqlQuery>
#include <QVariant>
#include <algorithm>

#include "backup/backup.h"
#include "backup/volume/volumebackup.h"
#include "backup/volume/volumeselection.h"
#include "database/sqlerror.h"
#include "filesystem/zlvfile.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

using kvn_snapshot::VolumeRecord;

QString volumeDisplayName(const VolumeRecord& volume) {
  if (volume.mountName.isEmpty()) return volume.label;
  if (volume.label.isEmpty()) return volume.mountName;
  return QStringLiteral("%1 %2").arg(volume.mountName, volume.label);
}

SysImgJob::SysImgJob(Backup& backup, VolumeLister lister)
    : backup_(backup),
      lister_(lister ? std::move(lister) : VolumeLister(&kvn_snapshot::listVolumes)),
      operation_(std::make_unique<VolumeBackup>(backup, *this)) {}

SysImgJob::~SysImgJob() = default;

BackupOperation& SysImgJob::operation() { return *operation_; }

VolumeInfo* SysImgJob::info(const QString& entry) {
  const auto it = infos_.find(entry);
  return it == infos_.end() ? nullptr : &it.value();
}

QHash<QString, QString> SysImgJob::snapshotDevices() const {
  QHash<QString, QString> devices;
  for (const auto& volume : volumes_) {
    if (selection_.contains(volume.volumeGuid) && volume.rawPath.isEmpty()) {
      devices.insert(volume.volumeGuid, volume.devicePath);
    }
  }
  return devices;
}

std::uint32_t SysImgJob::load(QSqlDatabase& db) {
  volumes_ = lister_();
  QStringList exclusions;
  QStringList inclusions;
  if (const auto result = loadVolumePatterns(db, backup_.jobId(), exclusions, inclusions)) {
    return result;
  }
  selection_ = selectVolumes(inclusions, exclusions, volumes_);
  selection_.removeDuplicates();
  KLOG_I("System image of %d volume(s): %s", int(selection_.size()),
         qPrintable(selection_.join(QStringLiteral(", "))));
  return KVN_OK;
}

std::uint32_t SysImgJob::analyse(QSqlDatabase& db, BackupTotals& totals) {
  static const QString statement =
      QStringLiteral("SELECT id_file, lastwrite FROM file WHERE job_id=:job_id AND path=:path;");
  infos_.clear();
  totals = {};
  for (const auto& entry : selection_) {
    const auto volume = std::find_if(volumes_.cbegin(), volumes_.cend(),
                                     [&](const VolumeRecord& v) { return v.volumeGuid == entry; });
    if (volume == volumes_.cend()) continue;
    VolumeInfo info;
    info.totalSize = volume->totalSize;
    info.usedSize = volume->totalSize - std::min(volume->freeSize, volume->totalSize);
    info.displayName = volumeDisplayName(*volume);
    info.rawPath = volume->rawPath;
    info.devicePath = volume->devicePath;
    info.diskName = volume->diskName;
    info.diskSerial = volume->diskSerial;
    info.diskSize = volume->diskSize;
    info.fsName = volume->fsName;
    info.isBoot = volume->isBoot;
    QSqlQuery query(db);
    if (!query.prepare(statement)) {
      KLOG_SQL_FAILURE(statement, query.lastError());
      return KVN_E_FAILED;
    }
    query.bindValue(QStringLiteral(":job_id"), qint64(backup_.jobId()));
    query.bindValue(QStringLiteral(":path"), entry);
    if (!query.exec()) {
      KLOG_SQL_FAILURE(statement, query.lastError());
      return KVN_E_FAILED;
    }
    if (query.next()) {
      info.hasPrevious = true;
      info.fileId = query.value(0).toLongLong();
      info.previousVersion = query.value(1).toInt();
    }
    totals.filesToBackup += 1;
    totals.bytesToBackup += std::int64_t(info.usedSize);
    infos_.insert(entry, info);
  }
  return KVN_OK;
}

std::uint32_t SysImgJob::doBackup(QSqlDatabase& db) {
  operation_->begin(*this, db);
  for (const auto& entry : selection_) {
    if (backup_.stopRequested()) break;
    VolumeInfo* volume = info(entry);
    if (!volume) {
      KLOG_E("The volume %s is offline", qPrintable(entry));
      operation_->reportVolumeError(VolumeBackup::kOffline, entry);
      continue;
    }
    if (operation_->backupVolume(entry, *volume) != KVN_OK) {
      KLOG_E("Volume image snapshot error: Volume %s", qPrintable(entry));
    }
    if (backup_.stopRequested()) break;
  }
  operation_->end();
  if (!backup_.stopRequested()) return KVN_OK;
  KLOG_W("Execution stopped by the user.");
  return KVN_E_STOPPED;
}

void SysImgJob::forgetFiles(QSqlDatabase& db, const QStringList& paths) {
  for (const auto& path : paths) {
    const kvn_agent_filesystem::ZLVFile traces(path, backup_.jobId(),
                                               backup_.environment().signaturesDir);
    if (traces.removeFile(db, path, backup_.jobId()) != KVN_OK) continue;
    if (VolumeInfo* volume = info(path)) volume->hasPrevious = false;
  }
  KLOG_D("files to be fixed: \"%s\"", qPrintable(paths.join(QStringLiteral("\", \""))));
}
