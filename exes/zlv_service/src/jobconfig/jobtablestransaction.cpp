#include "jobconfig/jobtablestransaction.h"

#include <QSqlError>

#include "database/sqlerror.h"

JobTablesTransaction::JobTablesTransaction(QSqlDatabase& db) : db_(db) {
  open_ = db_.transaction();
  if (!open_) KLOG_SQL_FAILURE(QStringLiteral("BEGIN"), db_.lastError());
}

JobTablesTransaction::~JobTablesTransaction() {
  if (open_) rollback();
}

bool JobTablesTransaction::commit() {
  if (!open_) return false;
  if (db_.commit()) {
    open_ = false;
    return true;
  }
  KLOG_SQL_FAILURE(QStringLiteral("COMMIT"), db_.lastError());
  rollback();
  return false;
}

void JobTablesTransaction::rollback() {
  open_ = false;
  if (!db_.rollback()) KLOG_SQL_FAILURE(QStringLiteral("ROLLBACK"), db_.lastError());
}
