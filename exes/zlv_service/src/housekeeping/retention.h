// One retention pass over the file-backup jobs: stamps files that vanished
// from the disk with the time their absence was noticed, clears the stamp
// of files that came back, and hands files whose retention has run out to
// a deletion on the box.
#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <cstdint>
#include <functional>

#include "housekeeping/retentionsettings.h"

struct RetentionFile {
  QString path;
  qint64 idFile = 0;

  bool operator==(const RetentionFile&) const = default;
};

// Starts the deletion of files on the box (the file operation manager's
// "create deletion"); returns its code.
using RetentionPurge = std::function<std::uint32_t(const QString& operationId, qint64 jobId,
                                                   const QList<RetentionFile>& files)>;

struct RetentionDependencies {
  // The backup manager's active map, and its active map or queue.
  std::function<bool(qint64 jobId)> backupActive;
  std::function<bool(qint64 jobId)> backupActiveOrQueued;
  RetentionPurge purge;
  // Seconds since 1970.
  std::function<qint64()> now;
};

class Retention {
 public:
  static constexpr std::uint32_t kSelectFailed = 0xEFFEEFFE;
  // Updates are committed after this many rows, so that a backup of the
  // job never waits long for the database.
  static constexpr int kCommitEvery = 30;

  // db is the calling thread's own connection.
  Retention(QSqlDatabase& db, RetentionSettings settings, RetentionDependencies dependencies);

  // One pass over all jobs: 0, or kSelectFailed when the jobs cannot be read.
  std::uint32_t checkRetention();
  void checkJobRetention(qint64 jobId, qint64 retentionSeconds);

  // "ret_<job>_<now>" as 32 lower-case hexadecimal digits of its MD5.
  static QString operationId(qint64 jobId, qint64 now);

 private:
  struct Classified;
  // True when the job's selection can be seen on the disk; otherwise one
  // warning names what is missing.
  bool selectionPresent(qint64 jobId, const QList<RetentionFile>& records);
  // Sets delete_time of the files in groups of kCommitEvery rows; false
  // when a backup of the job started meanwhile.
  bool stamp(qint64 jobId, const QList<RetentionFile>& files, qint64 deleteTime);

  QSqlDatabase& db_;
  RetentionSettings settings_;
  RetentionDependencies deps_;
};
