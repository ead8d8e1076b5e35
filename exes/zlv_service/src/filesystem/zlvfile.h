// A backed-up file's local traces: its cached signatures and its record in
// the file table. Conflicts with the box remove both so that the file is
// sent again as a new file.
#pragma once

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QString>
#include <cstdint>

namespace kvn_agent_filesystem {

class ZLVFile : public QFile {
 public:
  // signaturesDir: the agent's "Signatures" folder.
  ZLVFile(const QString& name, std::int64_t jobId, const QDir& signaturesDir);

  std::int64_t jobId() const { return jobId_; }

  // Deletes the signature of the version of path (native) written at
  // lastWrite; a missing signature is only logged.
  void deleteSignature(const QString& path, std::int64_t lastWrite, std::int64_t jobId) const;

  // Deletes the signatures and the records of path for the job: 0,
  // KVN_E_SERVER when the records cannot be read, KVN_E_FAILED when they
  // cannot be deleted. A path without records succeeds.
  std::uint32_t removeFile(QSqlDatabase& db, const QString& path, std::int64_t jobId) const;

 private:
  std::int64_t jobId_;
  QDir signaturesDir_;
};

}  // namespace kvn_agent_filesystem
