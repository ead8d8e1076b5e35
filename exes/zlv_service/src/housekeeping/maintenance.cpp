#include "housekeeping/maintenance.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <utility>

#include "kvn_common/atomic_file_sink.h"
#include "kvn_log/log.h"

namespace {

struct FutureRunsStatement {
  const char* table;
  const char* statement;
};

constexpr FutureRunsStatement kFutureRuns[] = {
    {"backup",
     "DELETE FROM backup WHERE start_time > STRFTIME('%s','now') OR last_time > "
     "STRFTIME('%s','now');"},
    {"restoration",
     "DELETE FROM restoration WHERE start_time > STRFTIME('%s','now') OR last_time > "
     "STRFTIME('%s','now');"},
    {"suppression",
     "DELETE FROM suppression WHERE start_time > STRFTIME('%s','now') OR last_time > "
     "STRFTIME('%s','now');"},
};

bool isInside(const QString& path, const QString& folder) {
  return path == folder || path.startsWith(folder + u'/');
}

}  // namespace

Maintenance::Maintenance(MaintenanceFolders folders, MaintenanceDependencies dependencies)
    : folders_(std::move(folders)), deps_(std::move(dependencies)) {}

void Maintenance::runPass(QSqlDatabase& db) {
  KLOG_I("Running maintenance");
  deleteFutureRuns(db);
  if (!deps_.foreground) deps_.rotateLog();
  deleteOldLogs();
  deleteOldSignatures();
  KLOG_I("Maintenance complete");
}

void Maintenance::deleteFutureRuns(QSqlDatabase& db) {
  for (const auto& run : kFutureRuns) {
    QSqlQuery query(db);
    if (!query.exec(QString::fromLatin1(run.statement))) {
      KLOG_E("Maintenance error '%s': %s", run.table, qPrintable(query.lastError().text()));
    }
  }
}

bool Maintenance::isOld(const QString& path, const QDateTime& now) const {
  const QDateTime created = deps_.createdAt(path);
  return created.isValid() && created.date().daysTo(now.date()) > kMaxAgeDays;
}

bool Maintenance::insideBaseDir(const QDir& folder) const {
  const QString base = folders_.baseDir.canonicalPath();
  const QString canonical = folder.canonicalPath();
  if (base.isEmpty() || canonical.isEmpty() || !isInside(canonical, base) || canonical == base) {
    KLOG_E("Maintenance: %s is not a folder inside the data folder %s, left alone",
           qPrintable(folder.path()), qPrintable(folders_.baseDir.path()));
    return false;
  }
  return true;
}

void Maintenance::deleteOldLogs() {
  if (!insideBaseDir(folders_.logsDir)) return;
  const QDateTime now = deps_.now();
  const QFileInfoList entries = folders_.logsDir.entryInfoList(
      QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
  for (const QFileInfo& entry : entries) {
    // A failure is tried again at the next pass.
    if (isOld(entry.filePath(), now)) QFile::remove(entry.filePath());
  }
}

void Maintenance::deleteOldSignatures() {
  if (deps_.anyBackupRunning()) {
    KLOG_I("Maintenance: a backup is running, old signature files are left for the next pass");
    return;
  }
  if (!insideBaseDir(folders_.signaturesDir)) return;
  const QDateTime now = deps_.now();
  qint64 total = 0;
  qint64 deleted = 0;
  // Symbolic links are neither followed into nor deleted.
  QDirIterator it(folders_.signaturesDir.path(),
                  QDir::Files | QDir::NoSymLinks | QDir::Hidden | QDir::System,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    ++total;
    // A part file is a signature whose write was cut short (a kill, a
    // full disk): never a basis, whatever its age.
    const bool unfinished = path.endsWith(QLatin1String(kvn_common::AtomicFileSink::kPartSuffix));
    if ((unfinished || isOld(path, now)) && QFile::remove(path)) ++deleted;
  }
  if (deleted > 0) {
    KLOG_I("Deleted %lld old signature files (%lld remains)", static_cast<long long>(deleted),
           static_cast<long long>(total - deleted));
  }
}
