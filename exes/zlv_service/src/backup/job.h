// What a backup run delegates to the kind of job it runs: which data, and
// how it travels. A file backup and a system image differ only here.
#pragma once

#include <QSqlDatabase>
#include <cstdint>

#include "backup/file/filefinder.h"
#include "backup/file/versions.h"

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

class Job {
 public:
  virtual ~Job() = default;
  virtual std::uint32_t load(QSqlDatabase& db) = 0;
  virtual std::uint32_t analyse(QSqlDatabase& db, AnalysisCounters& counters) = 0;
  virtual std::uint32_t doBackup(QSqlDatabase& db) = 0;
  // Known versions by native path; the run drops the files the box wants
  // sent again.
  virtual FileVersions& versions() = 0;
  virtual BackupOperation& operation() = 0;
};
