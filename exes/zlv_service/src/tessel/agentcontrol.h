// What the box can make the agent do over the channel, as the application
// wires it. Each call returns at once with a result code; an empty function
// stands for a facility this process does not have.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <functional>

struct AgentControl {
  // Backups (the backup manager).
  std::function<std::uint32_t(std::int64_t jobId)> addBackup;
  std::function<std::uint32_t(std::int64_t jobId, bool forUpgrade)> stopBackup;
  std::function<void(bool forUpgrade)> stopAllBackups;
  std::function<unsigned()> activeBackups;

  // Restorations and deletions (the file operation manager), by the box's
  // operation id; a restoration's target is empty for the original place.
  std::function<std::uint32_t(const QString& operationId, const QString& target)> startRestoration;
  std::function<std::uint32_t(const QString& operationId)> startDeletion;
  std::function<std::uint32_t(const QString& operationId, bool forUpgrade)> stopRestoration;
  std::function<std::uint32_t(const QString& operationId, bool forUpgrade)> stopDeletion;
  std::function<unsigned()> runningFileOperations;

  // Brings the job configuration up to date (one updater at a time).
  std::function<std::uint32_t()> updateConfiguration;
  // Asks the upgrader to run now; empty when there is no upgrader.
  std::function<std::uint32_t(bool resetAgent)> startUpgrade;
  bool noUpgrade = false;
  // Sets the reset-agent flag in the settings file.
  std::function<std::uint32_t(bool reset)> setResetAgent;
};

// What the queries and uploads describe.
struct AgentFacts {
  QString agentVersion;
  QDateTime startedAt;
  // The log file ("Zelvo.log") and the database ("zlv.db").
  QString logFilePath;
  QString databasePath;
  // The "volume_list" answer for the volumes as they are now; empty when
  // this process cannot list volumes.
  std::function<QJsonObject()> volumeList;
};
