// The per-job records of backed-up files (table file): one row per file
// with the last-write time of the version on the box.
#pragma once

#include <QDir>
#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <utility>

namespace kvn_agent_database {

class FileRecords {
 public:
  // db is the calling thread's own connection; signaturesDir is where the
  // cached signatures of the recorded versions live. Statements are
  // prepared once per object and kept, so one object serving a whole run
  // parses each of them once; it must go before the connection is closed.
  FileRecords(QSqlDatabase db, QDir signaturesDir);

  // Every operation returns 0 or KVN_E_FAILED after logging the statement.
  std::uint32_t insertFile(const QString& path, std::int64_t jobId, std::int32_t lastWrite,
                           std::int64_t* newId);
  // Records a new version; the signature of the version it replaces is
  // deleted first, since nothing will ever read it again.
  std::uint32_t updateLastWrite(std::int64_t idFile, std::int32_t lastWrite);
  // NULL makes the next backup send the file again.
  std::uint32_t clearLastWrite(std::int64_t idFile);
  std::uint32_t deleteFile(std::int64_t idFile);

  // The rows (lastwrite, id_file) of path for the job; the path may use
  // either separator. Throws KvnCommonException (KVN_E_FAILED) when the
  // query cannot be prepared or executed.
  QSqlQuery findFile(const QString& path, std::int64_t jobId);

 private:
  std::uint32_t execById(const char* statement, std::int64_t idFile);
  // The statement prepared on db_ (once) with values bound and executed;
  // nullptr after logging the failure.
  QSqlQuery* run(const char* statement, const QList<std::pair<const char*, QVariant>>& values);

  QHash<QString, QSqlQuery> prepared_;

  QSqlDatabase db_;
  QDir signaturesDir_;
};

}  // namespace kvn_agent_database
