#include "database/sqlerror.h"

#include <QSqlQuery>

#include "kvn_log/report.h"

namespace kvn_agent_database {

void logSqlFailure(const kvn_log::Location& where, const QString& statement,
                   const QSqlError& error) {
  if (!kvn_log::enabled(kvn_log::Error)) return;
  kvn_log::logSqlFailure(where, statement.toStdString(), error.text().toStdString(),
                         error.databaseText().toStdString(), error.driverText().toStdString());
}

void logSqlFailure(const kvn_log::Location& where, const QSqlQuery& query) {
  logSqlFailure(where, query.lastQuery(), query.lastError());
}

}  // namespace kvn_agent_database
