#include "database/recordbatch.h"

#include <QSqlQuery>

#include "database/filerecords.h"
#include "database/sqlerror.h"
#include "kvn_log/errors.h"

namespace kvn_agent_database {

RecordBatch::RecordBatch(FileRecords& records, QSqlDatabase db, std::size_t maxWaiting,
                         std::chrono::milliseconds maxAge)
    : records_(records), db_(std::move(db)), maxWaiting_(maxWaiting), maxAge_(maxAge) {}

RecordBatch::~RecordBatch() { write(); }

std::size_t RecordBatch::insertFile(const QString& path, std::int64_t jobId,
                                    std::int32_t lastWrite) {
  return add({path, jobId, lastWrite});
}

std::size_t RecordBatch::updateLastWrite(std::int64_t idFile, std::int32_t lastWrite) {
  return add({QString(), idFile, lastWrite});
}

std::size_t RecordBatch::add(Waiting record) {
  const auto now = std::chrono::steady_clock::now();
  if (waiting_.empty()) oldest_ = now;
  waiting_.push_back(std::move(record));
  if (waiting_.size() < maxWaiting_ && now - oldest_ < maxAge_) return 0;
  return write();
}

std::size_t RecordBatch::write() {
  if (waiting_.empty()) return 0;
  std::vector<Waiting> records;
  records.swap(waiting_);
  // IMMEDIATE takes the write lock first (waiting the busy timeout for
  // it): a transaction that read first could not take it after another
  // connection wrote.
  QSqlQuery control(db_);
  const bool inTransaction = control.exec(QStringLiteral("BEGIN IMMEDIATE;"));
  if (!inTransaction) KLOG_SQL_FAILURE(control);
  std::size_t failed = 0;
  for (const Waiting& record : records) {
    const std::uint32_t result =
        record.path.isEmpty()
            ? records_.updateLastWrite(record.jobOrFile, record.lastWrite)
            : records_.insertFile(record.path, record.jobOrFile, record.lastWrite, nullptr);
    if (result != KVN_OK) ++failed;
  }
  if (inTransaction && !control.exec(QStringLiteral("COMMIT;"))) {
    KLOG_SQL_FAILURE(control);
    KLOG_E("%zu file records are lost; those files are sent again next time", records.size());
    QSqlQuery(db_).exec(QStringLiteral("ROLLBACK;"));
    return records.size();
  }
  return failed;
}

}  // namespace kvn_agent_database
