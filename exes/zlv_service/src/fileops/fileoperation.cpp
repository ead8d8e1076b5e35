#include "fileops/fileoperation.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QVariant>

#include "database/sqlerror.h"
#include "kvn_log/log.h"

FileOperation::FileOperation(QString operationId, FileOperationContext context)
    : operationId_(std::move(operationId)), context_(std::move(context)) {}

FileOperation::~FileOperation() = default;

QString FileOperation::connectionName() const {
  return QStringLiteral("Restore[%1]").arg(operationId_);
}

void FileOperation::writeFinalRow(QSqlDatabase& db) const {
  const QString statement = QStringLiteral(
                                "UPDATE %1 SET  last_time=:last_time,  status=:status,  "
                                "processed_files=processed_files,  error_count=:error_count WHERE  "
                                "id=:operationId AND  last_time IS NULL;")
                                .arg(tableName());
  QSqlQuery query(db);
  if (!query.prepare(statement)) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return;
  }
  query.bindValue(":last_time", qint64(QDateTime::currentSecsSinceEpoch()));
  query.bindValue(":status", 0);
  query.bindValue(":error_count", errorCount());
  query.bindValue(":operationId", qint64(rowId()));
  if (!query.exec()) KLOG_SQL_FAILURE(statement, query.lastError());
}

void FileOperation::requestStop(bool byUser) {
  // Under the lock, so that a connection being made sees the flag.
  std::lock_guard<std::mutex> lock(networkMutex_);
  if (byUser) stoppedByUser_ = true;
  stop_ = true;
  if (network_) network_->stop();
}

bool FileOperation::stopCheck() const {
  if (!stop_) return false;
  KLOG_W("Execution stopped by the user.");
  return true;
}

CZLVNetwork& FileOperation::openNetwork() {
  // Probing the boxes takes time; done outside the lock so that a stop is
  // never held up by it.
  auto network = makeJobNetwork(context_.connect, false, *context_.credentials, context_.network);
  std::lock_guard<std::mutex> lock(networkMutex_);
  network_ = std::move(network);
  if (stop_) network_->stop();
  return *network_;
}

void FileOperation::closeNetwork() {
  std::unique_ptr<CZLVNetwork> network;
  std::lock_guard<std::mutex> lock(networkMutex_);
  network = std::move(network_);
}
