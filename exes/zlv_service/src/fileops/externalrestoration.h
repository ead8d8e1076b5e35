// Brings files back from the box: the box names each file (the agent's own
// path and its last write), the agent picks the destination below the
// target folder or the original path, receives the data and gives the file
// its time. Each file's outcome goes back to the box.
#pragma once

#include <QString>
#include <cstdint>

#include "fileops/fileoperation.h"
#include "fileops/restoreplacement.h"

class ExternalRestoration : public FileOperation {
 public:
  // target: native separators; RestoreTarget::kOriginalPath or a folder.
  ExternalRestoration(const QString& target, const QString& operationId,
                      FileOperationContext context);

  std::int64_t jobId() const override { return 0; }
  std::uint32_t execute(QSqlDatabase& db) override;
  std::int32_t processedFiles() const override { return processed_; }
  QString tableName() const override { return QStringLiteral("restoration"); }

  std::int32_t totalFiles() const { return total_; }

  // The result text of a failed file: "$<code>" for the file errors the box
  // knows, else empty.
  static QString errorText(int fileError);

 private:
  std::uint32_t countFiles();
  std::uint32_t restoreFiles();
  std::uint32_t restoreOne();
  // One action packet ("RESTORE" or "END").
  std::uint32_t sendAction(const char* action);
  // Reports the end of the run that did not succeed; KVN_E_NETWORK when
  // the report cannot be sent.
  std::uint32_t report(std::uint32_t code, const QString& text);

  RestoreTarget target_;
  QString current_;
  std::int32_t total_ = -1;
  std::int32_t processed_ = 0;
};
