#include "database/filerecords.h"

#include <QVariant>

#include "database/signaturefile.h"
#include "database/sqlerror.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"

namespace kvn_agent_database {

FileRecords::FileRecords(QSqlDatabase db, QDir signaturesDir)
    : db_(std::move(db)), signaturesDir_(std::move(signaturesDir)) {}

QSqlQuery* FileRecords::run(const char* statement,
                            const QList<std::pair<const char*, QVariant>>& values) {
  const QString text = QString::fromLatin1(statement);
  auto it = prepared_.find(text);
  if (it == prepared_.end()) {
    QSqlQuery query(db_);
    if (!query.prepare(text)) {
      KLOG_SQL_FAILURE(text, query.lastError());
      return nullptr;
    }
    it = prepared_.insert(text, std::move(query));
  }
  QSqlQuery& query = it.value();
  for (const auto& [name, value] : values) query.bindValue(name, value);
  if (!query.exec()) {
    KLOG_SQL_FAILURE(text, query.lastError());
    return nullptr;
  }
  return &query;
}

std::uint32_t FileRecords::insertFile(const QString& path, std::int64_t jobId,
                                      std::int32_t lastWrite, std::int64_t* newId) {
  QSqlQuery* query =
      run("INSERT INTO file  (path, job_id, lastwrite) VALUES  (:path, :job_id, :lastwrite);",
          {{":path", QDir::toNativeSeparators(path)},
           {":job_id", qint64(jobId)},
           {":lastwrite", lastWrite}});
  if (!query) return KVN_E_FAILED;
  if (newId) *newId = query->lastInsertId().toLongLong();
  return KVN_OK;
}

std::uint32_t FileRecords::updateLastWrite(std::int64_t idFile, std::int32_t lastWrite) {
  QSqlQuery* previous = run(
      "SELECT lastwrite, path, job_id FROM file WHERE id_file=:id_file AND lastwrite IS NOT NULL;",
      {{":id_file", qint64(idFile)}});
  if (!previous) {
    // The version stays as it is: the next backup compares against it and
    // sends the file again, which loses nothing.
    return KVN_OK;
  }
  // A version recorded again with the same time keeps its signature: the
  // new one has the same name.
  if (previous->next() && previous->value(0).toLongLong() != lastWrite) {
    deleteSignatureFile(signatureFilePath(signaturesDir_, previous->value(1).toString(),
                                          previous->value(0).toLongLong(),
                                          previous->value(2).toLongLong()));
  }
  // A kept statement left open would hold a read snapshot of the database.
  previous->finish();
  if (!run("UPDATE file SET lastwrite = :lastwrite WHERE id_file = :id_file;",
           {{":lastwrite", lastWrite}, {":id_file", qint64(idFile)}})) {
    return KVN_E_FAILED;
  }
  return KVN_OK;
}

std::uint32_t FileRecords::clearLastWrite(std::int64_t idFile) {
  return execById("UPDATE file SET lastwrite = NULL WHERE id_file=:id_file;", idFile);
}

std::uint32_t FileRecords::deleteFile(std::int64_t idFile) {
  return execById("DELETE FROM file WHERE id_file=:id_file;", idFile);
}

std::uint32_t FileRecords::execById(const char* statement, std::int64_t idFile) {
  return run(statement, {{":id_file", qint64(idFile)}}) ? KVN_OK : KVN_E_FAILED;
}

QSqlQuery FileRecords::findFile(const QString& path, std::int64_t jobId) {
  static const QString statement =
      "SELECT lastwrite, id_file FROM file WHERE  file.path=:path AND  file.job_id=:job_id;";
  QSqlQuery query(db_);
  if (!query.prepare(statement)) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    throw KvnCommonException(KVN_HERE, KVN_E_FAILED, "cannot prepare query");
  }
  query.bindValue(":path", QDir::toNativeSeparators(path));
  query.bindValue(":job_id", qint64(jobId));
  if (!query.exec()) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    throw KvnCommonException(KVN_HERE, KVN_E_FAILED, "cannot execute query");
  }
  return query;
}

}  // namespace kvn_agent_database
