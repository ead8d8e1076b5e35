// The system image job ("sysimg"): which volumes, what the box already
// holds of each, and the loop that sends them one by one.
#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "backup/job.h"
#include "backup/volume/volumeinfo.h"
#include "kvn_snapshot/volume_list.h"

class Backup;
class VolumeBackup;

using VolumeLister = std::function<std::vector<kvn_snapshot::VolumeRecord>()>;

class SysImgJob : public Job {
 public:
  // lister gives the machine's volumes; null: kvn_snapshot::listVolumes.
  SysImgJob(Backup& backup, VolumeLister lister);
  ~SysImgJob() override;

  // Takes a fresh volume list and the selection: 0 or KVN_E_FAILED.
  std::uint32_t load(QSqlDatabase& db) override;
  // Fills the information of every selected volume that is online.
  std::uint32_t analyse(QSqlDatabase& db, BackupTotals& totals) override;
  std::uint32_t doBackup(QSqlDatabase& db) override;
  void forgetFiles(QSqlDatabase& db, const QStringList& paths) override;
  BackupOperation& operation() override;

  const QStringList& selection() const { return selection_; }
  // Null when the entry's volume is not in the current list.
  VolumeInfo* info(const QString& entry);
  // The devices to snapshot, by selection entry (volumes read raw have
  // none); known from load() on.
  QHash<QString, QString> snapshotDevices() const;

 private:
  Backup& backup_;
  VolumeLister lister_;
  std::vector<kvn_snapshot::VolumeRecord> volumes_;
  QStringList selection_;
  QHash<QString, VolumeInfo> infos_;
  std::unique_ptr<VolumeBackup> operation_;
};
