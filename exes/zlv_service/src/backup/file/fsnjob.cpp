#include "backup/file/fsnjob.h"

#include <QElapsedTimer>

#include "backup/file/pathexpansion.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

FSNJob::FSNJob(std::int64_t jobId, const QString& signaturesPath,
               std::shared_ptr<SnapshotContext> context)
    : jobId_(jobId), signaturesPath_(signaturesPath), context_(std::move(context)) {}

std::uint32_t FSNJob::load(QSqlDatabase& db) {
  if (const auto result = loadExclusionPatterns(db, jobId_, exclusionPatterns_)) return result;
  if (const auto result = loadSelection(db, jobId_, selection_)) {
    KLOG_E("Error retrieving selection: %d", int(result));
    return result;
  }
  if (const auto result = loadVersions(db, jobId_, versions_)) {
    KLOG_E("Error retrieving versions: %d", int(result));
    return result;
  }
  return KVN_OK;
}

std::uint32_t FSNJob::analyse(QSqlDatabase& /*db*/, AnalysisCounters& counters) {
  KLOG_I("Analysing elements to backup...");
  QElapsedTimer clock;
  clock.start();
  FileFinder finder(signaturesPath_, exclusionPatterns_, versions_, *context_);
  if (const auto result = finder.run(selection_)) return result;
  const auto& found = finder.counters();
  KLOG_I(
      "%d/%d files to backup (files_to_backup/total) found in filesystem (job_id=%lld) "
      "[duration=%ldms]",
      found.filesToBackup, found.totalFiles, static_cast<long long>(jobId_),
      static_cast<long>(clock.elapsed()));
  entries_ = std::move(finder.entries());
  counters = found;
  return KVN_OK;
}

QStringList FSNJob::expandPath(const QString& path) const { return ::expandPath(path); }
