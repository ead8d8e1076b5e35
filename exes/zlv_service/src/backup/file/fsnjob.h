// The file backup job ("fsn"): what the box selected, the versions already
// on the box, and the list of files this run must send.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "backup/file/filefinder.h"
#include "backup/file/finderentries.h"
#include "backup/file/selection.h"
#include "backup/file/snapshotcontext.h"
#include "backup/file/versions.h"
#include "backup/job.h"

class Backup;
class FileBackup;

class FSNJob : public Job {
 public:
  // The job of a backup run, sending through its own FileBackup.
  explicit FSNJob(Backup& backup);
  // Finding files only (no transfer). signaturesPath: the agent's
  // "Signatures" folder; context: supplied by the transfer (stop flag,
  // snapshot roots, mount points).
  FSNJob(std::int64_t jobId, const QString& signaturesPath,
         std::shared_ptr<SnapshotContext> context);
  ~FSNJob() override;

  // Exclusion patterns, selection, then versions; 0 or the failing step's
  // code.
  std::uint32_t load(QSqlDatabase& db) override;

  // Lists the files to send and fills counters: 0, KVN_E_STOPPED or
  // KVN_E_EXCEPTION. On failure the previous list is kept.
  std::uint32_t analyse(QSqlDatabase& db, AnalysisCounters& counters);
  std::uint32_t analyse(QSqlDatabase& db, BackupTotals& totals) override;

  // Sends every listed file; a file that fails is counted, not fatal.
  // 0, KVN_E_STOPPED, or KVN_E_EXCEPTION without a transfer.
  std::uint32_t doBackup(QSqlDatabase& db) override;

  // Keyed by native path; the run drops entries to have files sent again.
  FileVersions& versions() { return versions_; }
  // Removes each known path's record and signatures, then its version.
  void forgetFiles(QSqlDatabase& db, const QStringList& paths) override;
  // Throws without a transfer.
  BackupOperation& operation() override;

  QStringList expandPath(const QString& path) const;

  std::int64_t jobId() const { return jobId_; }
  const Selection& selection() const { return selection_; }
  const QStringList& exclusionPatterns() const { return exclusionPatterns_; }
  // In discovery order; the transfer takes entries from the front.
  FinderEntryList& entries() { return entries_; }
  SnapshotContext& context() { return *context_; }

 private:
  std::int64_t jobId_;
  QString signaturesPath_;
  std::shared_ptr<SnapshotContext> context_;
  Selection selection_;
  QStringList exclusionPatterns_;
  FileVersions versions_;
  FinderEntryList entries_;
  std::unique_ptr<FileBackup> fileBackup_;
};
