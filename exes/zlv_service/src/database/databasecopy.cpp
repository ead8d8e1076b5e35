#include "database/databasecopy.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

#include "database/sqlerror.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

namespace kvn_agent_database {

namespace {

// Waits for a writer's lock instead of failing at once. No shared cache:
// a reader in shared-cache mode fails on a writer's table lock at once.
constexpr const char* kCopyConnectOptions = "QSQLITE_BUSY_TIMEOUT=60000";

std::uint32_t copyOn(QSqlDatabase& db, const QString& source, const QString& target) {
  db.setDatabaseName(source);
  db.setConnectOptions(kCopyConnectOptions);
  // SQLite would make an empty database of a missing file.
  if (!QFile::exists(source) || !db.open()) {
    KLOG_E("cannot open database connection %s (%s)", qPrintable(db.connectionName()),
           qPrintable(db.lastError().text()));
    return KVN_E_FAILED;
  }
  QSqlQuery query(db);
  if (!query.prepare(QStringLiteral("VACUUM INTO :target"))) {
    KLOG_SQL_FAILURE(query);
    return KVN_E_FAILED;
  }
  query.bindValue(QStringLiteral(":target"), target);
  if (!query.exec()) {
    KLOG_SQL_FAILURE(query);
    return KVN_E_FAILED;
  }
  return KVN_OK;
}

}  // namespace

std::uint32_t copyDatabase(const QString& source, const QString& target,
                           const QString& connectionName) {
  std::uint32_t result = KVN_E_FAILED;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    result = copyOn(db, source, target);
    db.close();
  }
  // The registry refuses to remove a connection that is still referenced.
  QSqlDatabase::removeDatabase(connectionName);
  return result;
}

}  // namespace kvn_agent_database
