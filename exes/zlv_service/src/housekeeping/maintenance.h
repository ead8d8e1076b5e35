// One maintenance pass: run records dated in the future, the service log's
// rotation, log files and cached signatures older than 30 days. It only
// ever deletes plain files inside the data folder.
#pragma once

#include <QDateTime>
#include <QDir>
#include <QSqlDatabase>
#include <QString>
#include <functional>

struct MaintenanceFolders {
  // Everything deleted must lie below it.
  QDir baseDir;
  QDir logsDir;
  QDir signaturesDir;
};

struct MaintenanceDependencies {
  // The log is rotated by the logger only when the agent runs as a service.
  bool foreground = false;
  std::function<void()> rotateLog;
  // Signatures are read by running backups; none is removed meanwhile.
  std::function<bool()> anyBackupRunning;
  std::function<QDateTime(const QString& path)> createdAt;
  std::function<QDateTime()> now;
};

class Maintenance {
 public:
  // A file goes once its creation date lies more than this many calendar
  // days back.
  static constexpr qint64 kMaxAgeDays = 30;

  Maintenance(MaintenanceFolders folders, MaintenanceDependencies dependencies);

  // db is the calling thread's own connection.
  void runPass(QSqlDatabase& db);

  void deleteFutureRuns(QSqlDatabase& db);
  void deleteOldLogs();
  void deleteOldSignatures();

 private:
  bool isOld(const QString& path, const QDateTime& now) const;
  // False, with an error, when folder is not inside the data folder.
  bool insideBaseDir(const QDir& folder) const;

  MaintenanceFolders folders_;
  MaintenanceDependencies deps_;
};
