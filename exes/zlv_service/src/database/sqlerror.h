// The one wording of a failed SQL statement, fed from the framework's error
// objects.
#pragma once

#include <QSqlError>
#include <QString>

#include "kvn_log/log.h"

class QSqlQuery;

namespace kvn_agent_database {

void logSqlFailure(const kvn_log::Location& where, const QString& statement,
                   const QSqlError& error);
// Uses the query's own statement text and last error.
void logSqlFailure(const kvn_log::Location& where, const QSqlQuery& query);

}  // namespace kvn_agent_database

#define KLOG_SQL_FAILURE(...) ::kvn_agent_database::logSqlFailure(KVN_HERE, __VA_ARGS__)
