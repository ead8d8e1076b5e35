#include "backup/file/fsnjob.h"

#include <QDir>
#include <QElapsedTimer>
#include <deque>

#include "backup/backup.h"
#include "backup/file/filebackup.h"
#include "backup/file/pathexpansion.h"
#include "filesystem/zlvfile.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"

FSNJob::FSNJob(Backup& backup)
    : FSNJob(backup.jobId(), backup.environment().signaturesDir.path(),
             std::make_shared<SnapshotContext>(backup.stopFlag())) {
  fileBackup_ = std::make_unique<FileBackup>(backup, *context_);
}

FSNJob::FSNJob(std::int64_t jobId, const QString& signaturesPath,
               std::shared_ptr<SnapshotContext> context)
    : jobId_(jobId), signaturesPath_(signaturesPath), context_(std::move(context)) {}

FSNJob::~FSNJob() = default;

BackupOperation& FSNJob::operation() {
  if (!fileBackup_) KVN_THROW_F("job %lld has no transfer", static_cast<long long>(jobId_));
  return *fileBackup_;
}

std::uint32_t FSNJob::doBackup(QSqlDatabase& db) {
  if (context_->stopRequested()) {
    KLOG_W("Execution stopped by the user.");
    return KVN_E_STOPPED;
  }
  if (!fileBackup_) return KVN_E_EXCEPTION;
  fileBackup_->begin(*this, db);
  const int total = int(entries_.size());
  KLOG_I("Backup (%d files)", total);
  const auto infoOf = [this](const auto& entry) {
    const QString path = entry->path();
    QString mountPoint = entry->mountPoint();
    QString readRoot = entry->snapshotRoot();
    if (const auto* mount = context_->mountPointFor(path)) {
      mountPoint = mount->first;
      readRoot = mount->second;
    }
    return kvn_agent_filesystem::KVNFileInfo(path, readRoot, context_->snapshotTime(), mountPoint);
  };
  // The next files are looked at a few ahead, so that their payloads can
  // be prepared while the current one is with the box.
  std::deque<kvn_agent_filesystem::KVNFileInfo> ahead;
  auto unseen = entries_.begin();
  const auto lookAhead = [&] {
    // The file being backed up holds its slot of the preparer until it is
    // sent, so kLookAhead files wait behind it at most, never one more:
    // one more found the preparer full, and every kMaxAhead-th file was
    // then read again on this thread.
    while (ahead.size() < FileBackup::kLookAhead && unseen != entries_.end()) {
      ahead.push_back(infoOf(*unseen++));
      fileBackup_->prepareAhead(ahead.back());
    }
  };
  lookAhead();
  int index = 0;
  while (!entries_.empty()) {
    if (context_->stopRequested()) {
      fileBackup_->end();
      KLOG_W("Execution stopped by the user.");
      return KVN_E_STOPPED;
    }
    // Only this entry goes: unseen points further on and stays valid.
    entries_.pop_front();
    ++index;
    const kvn_agent_filesystem::KVNFileInfo file = std::move(ahead.front());
    ahead.pop_front();
    lookAhead();
    const QString& path = file.path();
    const auto result = fileBackup_->backupFile(file, ahead.empty() ? nullptr : &ahead.front());
    // A stop is no failure of the file: the check below reports it.
    if (result != KVN_OK && result != KVN_E_STOPPED) {
      KLOG_E("cannot backup %s (%d)", qPrintable(path), int(result));
    } else {
      KLOG_D("backup file [%d/%d]: %s", index, total, qPrintable(path));
    }
  }
  fileBackup_->end();
  return KVN_OK;
}

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

std::uint32_t FSNJob::analyse(QSqlDatabase& db, BackupTotals& totals) {
  AnalysisCounters counters;
  const auto result = analyse(db, counters);
  if (result == KVN_OK) totals = {counters.filesToBackup, counters.bytesToBackup};
  return result;
}

void FSNJob::forgetFiles(QSqlDatabase& db, const QStringList& paths) {
  for (const auto& path : paths) {
    if (!versions_.contains(path)) continue;
    // The file comes back as a new one with a record of its own: the old
    // record and its signatures go first, or they would linger beside it.
    const kvn_agent_filesystem::ZLVFile traces(path, jobId_, QDir(signaturesPath_));
    traces.removeFile(db, path, jobId_);
    versions_.remove(path);
  }
  KLOG_D("files to be fixed: \"%s\"", qPrintable(paths.join(QStringLiteral("\", \""))));
  KLOG_D("versions now contain %u elements", unsigned(versions_.size()));
}
