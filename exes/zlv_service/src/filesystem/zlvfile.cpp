#include "filesystem/zlvfile.h"

#include <QSqlQuery>
#include <QVariant>
#include <exception>

#include "database/filerecords.h"
#include "database/signaturefile.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

namespace kvn_agent_filesystem {

ZLVFile::ZLVFile(const QString& name, std::int64_t jobId, const QDir& signaturesDir)
    : QFile(name), jobId_(jobId), signaturesDir_(signaturesDir) {
  KLOG_D("CZLVFile filename: %s", qPrintable(name));
}

void ZLVFile::deleteSignature(const QString& path, std::int64_t lastWrite,
                              std::int64_t jobId) const {
  kvn_agent_database::deleteSignatureFile(kvn_agent_database::signatureFilePath(
      signaturesDir_, QDir::toNativeSeparators(path), lastWrite, jobId));
}

std::uint32_t ZLVFile::removeFile(QSqlDatabase& db, const QString& path, std::int64_t jobId) const {
  kvn_agent_database::FileRecords records(db, signaturesDir_);
  QList<std::int64_t> ids;
  try {
    QSqlQuery versions = records.findFile(path, jobId);
    while (versions.next()) {
      // A record without a complete version on the box has no signature.
      if (!versions.value(0).isNull()) {
        deleteSignature(path, versions.value(0).toLongLong(), jobId);
      }
      ids.append(versions.value(1).toLongLong());
    }
  } catch (const std::exception& e) {
    KLOG_E("Exception: %s", e.what());
    KLOG_E("cannot remove file signatures from the filesystem (job_id %lld, file '%s')",
           static_cast<long long>(jobId), qPrintable(path));
    return KVN_E_SERVER;
  }
  for (const auto id : ids) {
    if (records.deleteFile(id) != KVN_OK) {
      KLOG_E("cannot remove file from the database (job_id %lld, file '%s')",
             static_cast<long long>(jobId), qPrintable(path));
      return KVN_E_FAILED;
    }
  }
  return KVN_OK;
}

}  // namespace kvn_agent_filesystem
