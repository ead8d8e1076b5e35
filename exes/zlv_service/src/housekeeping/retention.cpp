#include "housekeeping/retention.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QSqlQuery>
#include <QVariant>
#include <utility>

#include "backup/file/selection.h"
#include "database/sqlerror.h"
#include "kvn_log/log.h"

namespace {

const QString kJobsStatement =
    "SELECT job_id, config_retention_days FROM job WHERE job_type='fsn';";
const QString kFilesStatement = "SELECT path, delete_time, id_file FROM file WHERE job_id=:job_id;";
const QString kRecreatedStatement =
    "UPDATE file SET delete_time=0 WHERE job_id=:job_id AND id_file=:id_file;";
const QString kDeletedStatement =
    "UPDATE file SET delete_time=:delete_time WHERE job_id=:job_id AND id_file=:id_file;";

struct JobItem {
  qint64 jobId;
  qint64 retentionSeconds;
};

// Anything that cannot be seen (not mounted, access denied) counts as gone.
bool existsOnDisk(const QString& path) { return QFileInfo::exists(path); }

bool isBelow(const QString& path, const QString& root) {
  if (root == "/") return path.startsWith(u'/');
  return path == root || path.startsWith(root + u'/');
}

}  // namespace

struct Retention::Classified {
  QMap<QString, qint64> deleted;
  QMap<QString, qint64> recreated;
  QList<RetentionFile> purge;
};

Retention::Retention(QSqlDatabase& db, RetentionSettings settings,
                     RetentionDependencies dependencies)
    : db_(db), settings_(settings), deps_(std::move(dependencies)) {}

QString Retention::operationId(qint64 jobId, qint64 now) {
  const QByteArray text = QString("ret_%1_%2").arg(jobId).arg(now).toUtf8();
  return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex());
}

std::uint32_t Retention::checkRetention() {
  QSqlQuery query(db_);
  if (!query.exec(kJobsStatement)) {
    KLOG_SQL_FAILURE(query);
    return kSelectFailed;
  }
  QList<JobItem> items;
  while (query.next()) {
    // 64 bits: a retention of 49,711 days in seconds does not fit in 32.
    const qint64 days = query.value(1).toLongLong();
    items.append({query.value(0).toLongLong(), days * settings_.unit});
  }
  query.finish();
  for (const JobItem& item : items) checkJobRetention(item.jobId, item.retentionSeconds);
  return 0;
}

void Retention::checkJobRetention(qint64 jobId, qint64 retention) {
  if (deps_.backupActiveOrQueued(jobId)) {
    KLOG_I("A backup is active for job %d, skip retention", int(jobId));
    return;
  }
  if (retention <= 0) return;
  const qint64 now = deps_.now();

  QList<RetentionFile> records;
  QList<qint64> deleteTimes;
  {
    QSqlQuery query(db_);
    if (!query.prepare(kFilesStatement)) {
      KLOG_SQL_FAILURE(query);
      return;
    }
    query.bindValue(":job_id", jobId);
    if (!query.exec()) {
      KLOG_SQL_FAILURE(query);
      return;
    }
    while (query.next()) {
      records.append({query.value(0).toString(), query.value(2).toLongLong()});
      deleteTimes.append(query.value(1).toLongLong());
    }
  }
  if (deps_.backupActiveOrQueued(jobId)) {
    KLOG_I("A backup is starting for job %d, skip retention", int(jobId));
    return;
  }
  if (!selectionPresent(jobId, records)) return;

  Classified found;
  for (qsizetype i = 0; i < records.size(); ++i) {
    const RetentionFile& record = records[i];
    const qint64 deleteTime = deleteTimes[i];
    if (!existsOnDisk(record.path)) {
      if (deleteTime < 1) {
        found.deleted.insert(record.path, record.idFile);
      } else if (deleteTime + retention < now) {
        found.purge.append(record);
      }
    } else if (deleteTime > 0) {
      found.recreated.insert(record.path, record.idFile);
    }
  }

  const auto listOf = [](const QMap<QString, qint64>& map) {
    QList<RetentionFile> files;
    for (auto it = map.cbegin(); it != map.cend(); ++it) files.append({it.key(), it.value()});
    return files;
  };
  if (!found.recreated.isEmpty()) {
    KLOG_I("Retention: %d files recreated", int(found.recreated.size()));
    if (!stamp(jobId, listOf(found.recreated), 0)) return;
  }
  if (!found.deleted.isEmpty()) {
    KLOG_I("Retention: %d files deleted", int(found.deleted.size()));
    if (!stamp(jobId, listOf(found.deleted), now)) return;
  }
  if (!found.purge.isEmpty()) {
    KLOG_I("Retention: %d files will be permanently deleted", int(found.purge.size()));
    const std::uint32_t result = deps_.purge(operationId(jobId, now), jobId, found.purge);
    // The files stay stamped; the next pass offers them again.
    if (result != 0) KLOG_E("Retention: deletion for job %d failed (0x%08x)", int(jobId), result);
  }
}

bool Retention::selectionPresent(qint64 jobId, const QList<RetentionFile>& records) {
  Selection selection;
  if (loadSelection(db_, jobId, selection) != 0) {
    KLOG_W("Retention: the selection of job %d cannot be read, skip retention", int(jobId));
    return false;
  }
  for (auto volume = selection.cbegin(); volume != selection.cend(); ++volume) {
    for (const QString& root : volume.value()) {
      bool hasRecords = false;
      for (const RetentionFile& record : records) {
        if (isBelow(record.path, root)) {
          hasRecords = true;
          break;
        }
      }
      if (!hasRecords) continue;
      // A mount point whose file system is gone shows as an empty folder.
      const QFileInfo info(root);
      const bool visible =
          info.exists() &&
          (!info.isDir() || !QDir(root).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                QDir::Hidden | QDir::System));
      if (!visible) {
        KLOG_W(
            "Retention: %s of job %d is not there (not mounted?), skip retention for this "
            "check",
            qPrintable(root), int(jobId));
        return false;
      }
    }
  }
  return true;
}

bool Retention::stamp(qint64 jobId, const QList<RetentionFile>& files, qint64 deleteTime) {
  const bool deleting = deleteTime != 0;
  db_.transaction();
  QSqlQuery update(db_);
  if (!update.prepare(deleting ? kDeletedStatement : kRecreatedStatement)) {
    KLOG_SQL_FAILURE(update);
    db_.commit();
    return true;
  }
  for (qsizetype i = 0; i < files.size(); ++i) {
    if (deps_.backupActive(jobId)) {
      KLOG_I("A backup is starting for job %d, skip retention", int(jobId));
      db_.commit();
      return false;
    }
    if (i > 0 && i % kCommitEvery == 0) {
      db_.commit();
      db_.transaction();
    }
    const RetentionFile& file = files[i];
    if (deleting) {
      KLOG_D("Retention: was deleted %s", qPrintable(file.path));
      update.bindValue(":delete_time", deleteTime);
    } else {
      KLOG_D("Retention: was recreated %s", qPrintable(file.path));
    }
    update.bindValue(":job_id", jobId);
    update.bindValue(":id_file", file.idFile);
    if (!update.exec()) KLOG_SQL_FAILURE(update);
  }
  db_.commit();
  return true;
}
