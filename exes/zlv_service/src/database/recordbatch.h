// Writes a run's new file records in batches instead of one commit per
// file. On this platform a commit of the write-ahead log costs about a
// dozen system calls (locks and page writes), more than the rest of a
// small file's bookkeeping. The records wait in memory and are written in
// one short transaction, so the database's write lock is never held while
// the run talks to the box and parallel runs still interleave. A record
// that waits when the process dies is lost: use it only where that repeats
// work and loses nothing (a backed-up file without its record is sent
// again, and the box answers that it has it).
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <chrono>
#include <cstdint>
#include <vector>

namespace kvn_agent_database {

class FileRecords;

class RecordBatch {
 public:
  // Records are written when maxWaiting wait or the oldest has waited
  // maxAge, checked as each one is added.
  RecordBatch(FileRecords& records, QSqlDatabase db, std::size_t maxWaiting,
              std::chrono::milliseconds maxAge);
  // Writes what waits (failures are logged).
  ~RecordBatch();
  RecordBatch(const RecordBatch&) = delete;
  RecordBatch& operator=(const RecordBatch&) = delete;

  // FileRecords::insertFile and updateLastWrite, later. Each returns the
  // number of records a write due now failed to keep (logged), 0 mostly.
  std::size_t insertFile(const QString& path, std::int64_t jobId, std::int32_t lastWrite);
  std::size_t updateLastWrite(std::int64_t idFile, std::int32_t lastWrite);

  // Writes every waiting record in one transaction: the number that could
  // not be kept (each logged; all of them when the commit fails).
  std::size_t write();
  std::size_t waiting() const { return waiting_.size(); }

 private:
  struct Waiting {
    QString path;  // empty for a new last write of idFile
    std::int64_t jobOrFile = 0;
    std::int32_t lastWrite = 0;
  };

  std::size_t add(Waiting record);

  FileRecords& records_;
  QSqlDatabase db_;
  const std::size_t maxWaiting_;
  const std::chrono::milliseconds maxAge_;
  std::vector<Waiting> waiting_;
  std::chrono::steady_clock::time_point oldest_;
};

}  // namespace kvn_agent_database
