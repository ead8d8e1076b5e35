// Files that disappeared from the disk long enough ago: the box is told to
// delete each of them and the agent forgets them (signatures and record).
// Handed over by retention; gives way to a backup of its job.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>

#include "fileops/fileoperation.h"

struct DeletionFile {
  QString path;  // native
  std::int64_t fileId = 0;
};

class Deletion : public FileOperation {
 public:
  // Files per transaction on the operation's connection.
  static constexpr int kFilesPerCommit = 30;

  Deletion(const QString& operationId, std::int64_t jobId, QList<DeletionFile> files,
           FileOperationContext context);

  std::int64_t jobId() const override { return jobId_; }
  bool canYieldForBackup() const override { return true; }
  std::uint32_t execute(QSqlDatabase& db) override;
  std::int32_t processedFiles() const override { return -1; }
  std::int64_t rowId() const override { return rowId_; }
  QString tableName() const override { return QStringLiteral("suppression"); }

 private:
  void insertRow(QSqlDatabase& db);
  // The box's part once it accepted: every file, then "END".
  std::uint32_t sendStart();
  std::uint32_t deleteFiles(QSqlDatabase& db);
  std::uint32_t deleteOne(QSqlDatabase& db, const DeletionFile& file);
  std::uint32_t sendFileToDelete(const DeletionFile& file);
  // A request packet ("DELETE", "DONE", "END") and its confirmation.
  std::uint32_t sendRequest(const char* name);

  std::int64_t jobId_;
  QList<DeletionFile> files_;
  std::int64_t rowId_ = -1;
};
