#include "jobconfig/jobfilestatements.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include "database/sqlerror.h"
#include "jobconfig/jobfileconfinement.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

std::uint32_t runJobFileStatements(const QSqlDatabase& db, const QByteArray& content) {
  const QStringList lines = QString::fromUtf8(content).split(u'\n');
  const JobFileConfinement confinement(db);
  if (!confinement.isActive()) {
    KLOG_E("cannot confine the job file to the job tables: no SQLite handle");
    return KVN_E_FAILED;
  }
  for (const QString& line : lines) {
    const QString statement = line.trimmed();
    if (statement.isEmpty()) continue;
    QSqlQuery query(db);
    if (!query.exec(statement)) {
      KLOG_SQL_FAILURE(statement, query.lastError());
      return KVN_E_FAILED;
    }
    KLOG_D("query executed from file: %s", qPrintable(statement));
  }
  return KVN_OK;
}
