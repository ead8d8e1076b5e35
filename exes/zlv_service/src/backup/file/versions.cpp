#include "backup/file/versions.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QVariant>

#include "database/sqlerror.h"
#include "kvn_log/errors.h"

std::uint32_t loadVersions(QSqlDatabase& db, std::int64_t jobId, FileVersions& versions) {
  static const QString statement =
      "SELECT path, id_file, COALESCE(lastwrite, 0) AS lastwrite FROM file WHERE job_id=:job_id;";
  QElapsedTimer clock;
  clock.start();
  versions.clear();
  QSqlQuery query(db);
  query.setForwardOnly(true);
  if (!query.prepare(statement)) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return KVN_E_FAILED;
  }
  query.bindValue(":job_id", qint64(jobId));
  if (!query.exec()) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return KVN_E_FAILED;
  }
  while (query.next()) {
    versions.insert(query.value(0).toString(),
                    FileVersion{query.value(2).toLongLong(), query.value(1).toLongLong()});
  }
  KLOG_I("%d paths loaded in versions (job_id=%lld) [duration=%ldms]", int(versions.size()),
         static_cast<long long>(jobId), static_cast<long>(clock.elapsed()));
  return KVN_OK;
}
