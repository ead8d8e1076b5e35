#include "backup/volume/volumeselection.h"

#include <QSqlQuery>
#include <QVariant>

#include "database/sqlerror.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

using kvn_snapshot::VolumeRecord;

namespace {

const VolumeRecord* findVolume(const std::vector<VolumeRecord>& volumes, const QString& guid) {
  for (const auto& volume : volumes) {
    if (volume.volumeGuid == guid) return &volume;
  }
  return nullptr;
}

void selectDisk(const QString& serial, const QStringList& exclusions,
                const std::vector<VolumeRecord>& volumes, QStringList& selected) {
  bool any = false;
  for (const auto& volume : volumes) {
    if (volume.diskSerial != serial) continue;
    if (exclusions.contains(serial + u'|' + volume.volumeGuid)) continue;
    selected.append(volume.volumeGuid);
    any = true;
  }
  if (!any) KLOG_E("Found no volume matching serial pattern: %s", qPrintable(serial + u'|'));
}

QStringList readPatterns(QSqlDatabase& db, std::int64_t jobId, int type, bool& ok) {
  const QString statement = QStringLiteral(
                                "SELECT  pattern.pattern_data AS path FROM  pattern, sel_tem, "
                                "pattern_x_sel_tem, job_x_sel_tem, job WHERE  job.job_id=:job_id "
                                "AND  job.job_id=job_x_sel_tem.job_id AND  "
                                "job_x_sel_tem.sel_tem_id=sel_tem.sel_tem_id AND  "
                                "sel_tem.sel_tem_id=pattern_x_sel_tem.sel_tem_id AND  "
                                "pattern.pattern_id=pattern_x_sel_tem.pattern_id AND  "
                                "pattern_type=%1;")
                                .arg(type);
  QStringList patterns;
  QSqlQuery query(db);
  query.setForwardOnly(true);
  ok = query.prepare(statement);
  if (ok) {
    query.bindValue(QStringLiteral(":job_id"), qint64(jobId));
    ok = query.exec();
  }
  if (!ok) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return patterns;
  }
  while (query.next()) patterns.append(query.value(0).toString());
  return patterns;
}

}  // namespace

QStringList selectVolumes(const QStringList& inclusions, const QStringList& exclusions,
                          const std::vector<VolumeRecord>& volumes) {
  QStringList selected;
  for (const auto& pattern : inclusions) {
    if (pattern.isEmpty()) {
      KLOG_E("Empty path in volume selection pattern!");
      continue;
    }
    const qsizetype bar = pattern.indexOf(u'|');
    if (bar < 0) {
      selected.append(pattern);
      continue;
    }
    const QString serial = pattern.left(bar);
    const QString guid = pattern.mid(bar + 1);
    if (guid.isEmpty()) {
      selectDisk(serial, exclusions, volumes, selected);
      continue;
    }
    const VolumeRecord* volume = findVolume(volumes, guid);
    if (!volume) {
      KLOG_E("Found no volume matching pattern: %s", qPrintable(pattern));
    } else if (volume->diskSerial != serial) {
      KLOG_E("Found matching volume, but serial is not the same: %s", qPrintable(pattern));
    } else {
      selected.append(guid);
    }
  }
  return selected;
}

std::uint32_t loadVolumePatterns(QSqlDatabase& db, std::int64_t jobId, QStringList& exclusions,
                                 QStringList& inclusions) {
  bool ok = false;
  exclusions = readPatterns(db, jobId, 1, ok);
  if (!ok) return KVN_E_FAILED;
  inclusions = readPatterns(db, jobId, 0, ok);
  return ok ? KVN_OK : KVN_E_FAILED;
}
