#include "database/resetunfinishedoperations.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include "database/sqlerror.h"
#include "kvn_log/errors.h"

namespace kvn_agent_database {

namespace {

struct Closing {
  const char* statement;
  std::uint32_t status;
};

// The status of each table marks the run as interrupted (0x0002) within
// its kind (backup 0x1000, restoration 0x4000, deletion 0x2000).
constexpr Closing kClosings[] = {
    {"UPDATE backup SET last_time=:last_time, status=:status WHERE last_time IS NULL;", 0x1002},
    {"UPDATE restoration SET last_time=:last_time, status=:status WHERE last_time IS NULL;",
     0x4002},
    {"UPDATE suppression SET last_time=:last_time, status=:status WHERE last_time IS NULL;",
     0x2002},
};

}  // namespace

std::uint32_t ResetUnfinishedOperations::run(QSqlDatabase& db) {
  for (const Closing& closing : kClosings) {
    QSqlQuery query(db);
    if (!query.prepare(closing.statement)) {
      KLOG_SQL_FAILURE(closing.statement, query.lastError());
      return KVN_E_FAILED;
    }
    query.bindValue(":last_time", qint64(1));
    query.bindValue(":status", closing.status);
    if (!query.exec()) {
      KLOG_SQL_FAILURE(closing.statement, query.lastError());
      return KVN_E_FAILED;
    }
  }
  return KVN_OK;
}

}  // namespace kvn_agent_database
