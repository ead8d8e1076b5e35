#include "database/filerecords.h"

#include <QVariant>

#include "database/signaturefile.h"
#include "database/sqlerror.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"

namespace kvn_agent_database {

namespace {

bool prepareAndExec(QSqlQuery& query, const QString& statement,
                    const QList<std::pair<const char*, QVariant>>& values) {
  if (!query.prepare(statement)) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return false;
  }
  for (const auto& [name, value] : values) query.bindValue(name, value);
  if (!query.exec()) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return false;
  }
  return true;
}

}  // namespace

FileRecords::FileRecords(QSqlDatabase db, QDir signaturesDir)
    : db_(std::move(db)), signaturesDir_(std::move(signaturesDir)) {}

std::uint32_t FileRecords::insertFile(const QString& path, std::int64_t jobId,
                                      std::int32_t lastWrite, std::int64_t* newId) {
  QSqlQuery query(db_);
  if (!prepareAndExec(query,
                      "INSERT INTO file  (path, job_id, lastwrite) VALUES  (:path, :job_id, "
                      ":lastwrite);",
                      {{":path", QDir::toNativeSeparators(path)},
                       {":job_id", qint64(jobId)},
                       {":lastwrite", lastWrite}})) {
    return KVN_E_FAILED;
  }
  if (newId) *newId = query.lastInsertId().toLongLong();
  return KVN_OK;
}

std::uint32_t FileRecords::updateLastWrite(std::int64_t idFile, std::int32_t lastWrite) {
  QSqlQuery previous(db_);
  if (!prepareAndExec(previous,
                      "SELECT lastwrite, path, job_id FROM file WHERE id_file=:id_file AND "
                      "lastwrite IS NOT NULL;",
                      {{":id_file", qint64(idFile)}})) {
    // The version stays as it is: the next backup compares against it and
    // sends the file again, which loses nothing.
    return KVN_OK;
  }
  // A version recorded again with the same time keeps its signature: the
  // new one has the same name.
  if (previous.next() && previous.value(0).toLongLong() != lastWrite) {
    deleteSignatureFile(signatureFilePath(signaturesDir_, previous.value(1).toString(),
                                          previous.value(0).toLongLong(),
                                          previous.value(2).toLongLong()));
  }
  QSqlQuery update(db_);
  if (!prepareAndExec(update, "UPDATE file SET lastwrite = :lastwrite WHERE id_file = :id_file;",
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
  QSqlQuery query(db_);
  return prepareAndExec(query, statement, {{":id_file", qint64(idFile)}}) ? KVN_OK : KVN_E_FAILED;
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
