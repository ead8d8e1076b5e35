// The agent's application object: parses the command line, prepares the
// data folders and the log, runs one-shot modes or the event loop with all
// workers, and tears down in a fixed order.
#pragma once

#include <chrono>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QList>
#include <QSslError>
#include <memory>
#include <optional>

#include "commandline.h"
#include "connection/credentials.h"
#include "jobconfig/configupdater.h"
#include "jobconfig/updateaction.h"
#include "jobconfig/updatejobcfgthread.h"
#include "paths.h"
#include "scheduler/schedulerthread.h"
#include "tessel/agentcontrol.h"
#include "tessel/launchactionrunner.h"
#include "tessel/queryprocessor.h"
#include "tessel/tesseltask.h"

class BackupManager;
class FileOperationManager;
class MaintenanceThread;
class Reporter;
class RetentionThread;
class Upgrader;

class QNetworkAccessManager;
class TesselClient;
class QNetworkReply;
class ServiceThread;
class StopWatcher;

class App : public QCoreApplication {
  Q_OBJECT

 public:
  App(int& argc, char** argv);
  ~App() override;

  // Set when the constructor already decided how the process ends: a failed
  // start-up or a finished one-shot mode. main() returns it without exec().
  std::optional<int> earlyExitCode() const { return earlyExit_; }

  // Runs the agent until a stop request; returns the process exit code.
  int exec();

  // "3.6.2.2" and "3.6.2.2-<revision tag>".
  static QString numericVersion();
  static QString fullVersion();

  const QDir& baseDir() const { return paths_.baseDir; }
  const QDir& signaturesDir() const { return paths_.signaturesDir; }
  const QDir& logsDir() const { return paths_.logsDir; }
  const QDir& workerDir() const { return paths_.workerDir; }
  const QString& databasePath() const { return paths_.databasePath; }
  const QString& envPrefix() const { return envPrefix_; }
  bool foreground() const { return options_.foreground; }
  bool noUpgrade() const { return options_.noUpgrade; }
  bool nasAgent() const { return options_.nas; }
  int maxParallelBackups() const { return options_.maxParallelBackups; }
  const QDateTime& startedAt() const { return startedAt_; }

 public slots:
  void quit();

 private slots:
  void runThreads();
  void onSslError(QNetworkReply* reply, const QList<QSslError>& errors);

 private:
  void construct();
  bool setUpPaths();
  void startHousekeeping();
  void startRetention();
  bool setUpLogDestination();
  int runInformationMode();
  bool openDB();
  int runBoxTest();
  int runBoxDiscovery();
  void finish(int exitCode);
  void startStopHandling();
  void startBackupManager();
  void startTesselClient();
  JobConfigContext jobConfigContext() const;
  // What the box may make the agent do, from the managers made here.
  AgentControl agentControl();
  // Fills the control channel's registries; before the client starts.
  void buildTesselHandlers();

  // How long the end of the process waits for stopped backups to close
  // their rows.
  static constexpr std::chrono::seconds kBackupFinalizeLimit{30};

  Options options_;
  AppPaths paths_;
  QString envPrefix_;
  QDateTime startedAt_;
  // The pairing data, made once the data folder is known.
  std::unique_ptr<Credentials> credentials_;
  // The job download's retry thread; also the "update_config" action.
  std::unique_ptr<JobConfigUpdateAction> jobConfigUpdate_;
  // The control channel's handlers and what they reach; the client that
  // uses the registries must go before them, and the launch actions'
  // threads before what those threads call.
  AgentControl agentControl_;
  AgentFacts agentFacts_;
  LaunchActionRunner launchActionRunner_;
  QueryProcessorRegistry tesselQueries_;
  TaskFactoryRegistry tesselTasks_;
  // Workers started by runThreads; destroying one stops it and waits.
  std::unique_ptr<ConfigUpdater> configUpdater_;
  std::unique_ptr<UpdateJobCfgThread> updateJobCfgThread_;
  std::unique_ptr<SchedulerThread> scheduler_;
  // The control channel; it reads the registries above on its thread.
  std::unique_ptr<TesselClient> tesselClient_;
  std::unique_ptr<Upgrader> upgrader_;
  std::unique_ptr<Reporter> reporter_;
  std::unique_ptr<MaintenanceThread> maintenanceThread_;
  std::unique_ptr<RetentionThread> retentionThread_;
  std::unique_ptr<QNetworkAccessManager> networkManager_;
  std::unique_ptr<ServiceThread> serviceThread_;
  // Restorations and deletions; backups wait on it.
  std::unique_ptr<FileOperationManager> fileOperations_;
  // Backup runs; they use the file operations and the credentials.
  std::unique_ptr<BackupManager> backups_;
  std::unique_ptr<StopWatcher> stopWatcher_;
  std::optional<int> earlyExit_;
};
