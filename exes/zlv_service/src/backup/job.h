// What a backup run delegates to the kind of job it runs: which data, and
// how it travels. A file backup and a system image differ only here.
#pragma once

#include <QSqlDatabase>
#include <cstdint>

#include <QStringList>

class Backup;
class Job;

// The transfer side of a job: makes the snapshot the job reads from and
// sends what the analysis found. Shared by the job and its run.
class BackupOperation {
 public:
  explicit BackupOperation(Backup& backup) : backup_(backup) {}
  virtual ~BackupOperation() = default;
  BackupOperation(const BackupOperation&) = delete;
  BackupOperation& operator=(const BackupOperation&) = delete;

  // Creates the snapshot and whatever the transfer needs: 0, KVN_E_STOPPED,
  // or another code when the run must go on without a snapshot.
  virtual std::uint32_t prepare(Job& job) = 0;
  virtual void begin(Job& job, QSqlDatabase& db) = 0;
  virtual void end() = 0;
  // Releases the snapshot once the transfer is over.
  virtual void finish() = 0;

  Backup& backup() const { return backup_; }

 private:
  Backup& backup_;
};

// What the analysis of any job tells the box with INI.
struct BackupTotals {
  std::int32_t filesToBackup = 0;
  std::int64_t bytesToBackup = 0;
};

class Job {
 public:
  virtual ~Job() = default;
  virtual std::uint32_t load(QSqlDatabase& db) = 0;
  virtual std::uint32_t analyse(QSqlDatabase& db, BackupTotals& totals) = 0;
  virtual std::uint32_t doBackup(QSqlDatabase& db) = 0;
  // The box wants these native paths sent again as new: their records and
  // signatures go, and the job forgets their versions.
  virtual void forgetFiles(QSqlDatabase& db, const QStringList& paths) = 0;
  virtual BackupOperation& operation() = 0;
};
