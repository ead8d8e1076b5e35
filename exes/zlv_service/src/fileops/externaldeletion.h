// Files the box has dropped, named by the box one by one: the agent
// forgets each (its signature and its record), so that nothing local
// points at a version the box no longer holds. Started by the box; a
// backup of the job being cleaned waits for it.
#pragma once

#include <atomic>
#include <cstdint>

#include "backup/file/versions.h"
#include "fileops/fileoperation.h"

class ExternalDeletion : public FileOperation {
 public:
  ExternalDeletion(const QString& operationId, FileOperationContext context);

  // The job of the file being forgotten; it follows the box from job to job.
  std::int64_t jobId() const override { return currentJob_; }
  std::uint32_t execute(QSqlDatabase& db) override;
  std::int32_t processedFiles() const override { return processed_; }
  std::int32_t errorCount() const override { return errors_; }
  QString tableName() const override { return QStringLiteral("suppression"); }

 private:
  std::uint32_t countFiles();
  std::uint32_t deleteListedFiles(QSqlDatabase& db);
  std::uint32_t deleteNextFile(QSqlDatabase& db);
  void forget(QSqlDatabase& db, const QString& path, std::int64_t jobId);

  std::int32_t total_ = -1;
  std::int32_t processed_ = 0;
  std::int32_t errors_ = 0;
  std::atomic<std::int64_t> currentJob_{0};
  FileVersions versions_;
};
