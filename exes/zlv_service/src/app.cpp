#include "app.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSysInfo>
#include <QTimer>
#include <cstdio>

#include "backup/backup.h"
#include "backup/backupmanager.h"
#include "connection/credentials.h"
#include "connection/zlvnetwork.h"
#include "database/agentdatabase.h"
#include "database/resetunfinishedoperations.h"
#include "enrolment.h"
#include "fileops/fileoperationmanager.h"
#include "housekeeping/fileage.h"
#include "housekeeping/maintenancethread.h"
#include "housekeeping/retentionthread.h"
#include "jobconfig/updateaction.h"
#include "kvn_crypto/openssl_setup.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_mdns/box_finder.h"
#include "kvn_platform/appdata.h"
#include "kvn_platform/process_setup.h"
#include "kvn_platform/stop_signals.h"
#include "kvn_snapshot/volume_list.h"
#include "kvn_snapshot/volume_list_reply.h"
#include "kvn_vss/vss_import.h"
#include "service/servicethread.h"
#include "service/stopwatcher.h"
#include "tessel/tesselclient.h"
#include "tessel/tesselhandlers.h"
#include "upgrade/reporter.h"
#include "upgrade/systeminfo.h"
#include "upgrade/upgrader.h"
#include "version.h"

namespace {

QByteArray local8(const QString& text) { return text.toLocal8Bit(); }

}  // namespace

App::App(int& argc, char** argv)
    : QCoreApplication(argc, argv),
      startedAt_(QDateTime::currentDateTimeUtc()),
      networkManager_(std::make_unique<QNetworkAccessManager>()),
      serviceThread_(std::make_unique<ServiceThread>()) {
  setApplicationName("Zelvo");
  setApplicationVersion(fullVersion());
  construct();
}

App::~App() {
  // Reverse order of creation; worker threads come before the periodic tasks.
  serviceThread_.reset();
  stopWatcher_.reset();
  networkManager_.reset();
}

QString App::numericVersion() {
  return QString("%1.%2.%3.%4")
      .arg(ZLV_VERSION_MAJOR)
      .arg(ZLV_VERSION_MINOR)
      .arg(ZLV_VERSION_PATCH)
      .arg(ZLV_VERSION_BUILD);
}

QString App::fullVersion() { return numericVersion() + "-" + ZLV_REVISION_TAG; }

void App::construct() {
  CommandLine commandLine;
  options_ = commandLine.process(*this);

  if (options_.checkCompat) {
    options_.foreground = true;
    kvn_log::setColored(true);
    kvn_log::setLevel(kvn_log::Warning);
    kvn_platform::releaseStopRequests();
    return finish(printSystemInfo(false) ? 0 : 1);
  }

  kvn_log::setColored(options_.foreground);
  if (options_.logLevel) kvn_log::parseLevel(options_.logLevel->toStdString());
  envPrefix_ = envPrefixFrom(options_.prefix);
  if (!options_.prefix.isEmpty()) KLOG_D("prefix used: %s", local8(options_.prefix).constData());

  if (!setUpPaths()) return finish(1);
  addLibraryPath(QDir(applicationDirPath()).filePath("plugins"));

  if (options_.registerBoxIp.isEmpty() &&
      (options_.infoLicense || options_.infoDevice || options_.boxDiscovery)) {
    options_.foreground = true;
    kvn_log::setColored(true);
    kvn_platform::releaseStopRequests();
    return finish(runInformationMode());
  }

  connect(networkManager_.get(), &QNetworkAccessManager::sslErrors, this, &App::onSslError);

  if (!setUpLogDestination()) return finish(1);
  if (paths_.createdBaseDir) {
    KLOG_I("created the data folder %s", local8(paths_.baseDir.path()).constData());
  }

  if (!options_.foreground) {
    connect(serviceThread_.get(), &ServiceThread::stopService, this, &App::quit,
            Qt::QueuedConnection);
    serviceThread_->start();
  }

  if (!openDB()) return finish(1);
  if (!options_.registerBoxIp.isEmpty()) return finish(0);
  if (options_.boxTest) {
    kvn_platform::releaseStopRequests();
    return finish(runBoxTest());
  }

  QMetaObject::invokeMethod(this, &App::runThreads, Qt::QueuedConnection);
}

bool App::setUpPaths() {
  const auto commonAppData = kvn_platform::commonAppDataFolder();
  if (!commonAppData) {
    KLOG_F("GeneratePaths: Should never fail");
    return false;
  }
  QString failedFolder;
  auto paths =
      generatePaths(QString::fromLocal8Bit(commonAppData->c_str()), envPrefix_, &failedFolder);
  if (!paths) {
    KLOG_F("cannot create the data folder '%s'", local8(failedFolder).constData());
    return false;
  }
  paths_ = *paths;
  credentials_ = std::make_unique<Credentials>(paths_.baseDir.filePath(envPrefix_ + "zlv.ini"));
  jobConfigUpdate_ = std::make_unique<JobConfigUpdateAction>([this] { return jobConfigContext(); });
  return true;
}

bool App::setUpLogDestination() {
  const QByteArray version = local8(fullVersion());
  if (options_.foreground) {
    KLOG_I("Zelvo %s starting...", version.constData());
    return true;
  }
  const QString logFile = paths_.logsDir.filePath("Zelvo.log");
  if (!kvn_log::setLogFile(local8(logFile).toStdString())) {
    KLOG_F("cannot open the log file in the data folder '%s'",
           local8(paths_.logsDir.path()).constData());
    return false;
  }
  KLOG_I("Zelvo %s service starting...", version.constData());
  return true;
}

int App::runInformationMode() {
  if (options_.boxDiscovery) return runBoxDiscovery();
  if (!openDB()) return 1;
  const Credentials& credentials = *credentials_;
  std::fprintf(stderr, "%d\n",
               options_.infoLicense ? credentials.licenseStorage() : credentials.licenseAgent());
  std::fflush(stderr);
  return 0;
}

int App::runBoxDiscovery() {
  if (const int error = kvn_platform::startSockets(); error != 0) {
    std::fprintf(stderr, "Warning: WinSock library initialization failed (%d)\n", error);
  }
  kvn_mdns::runBoxDiscovery(stderr);
  kvn_platform::stopSockets();
  return 0;
}

bool App::openDB() {
  auto& database = kvn_agent_database::AgentDatabase::instance();
  Credentials& credentials = *credentials_;
  const QString& path = paths_.databasePath;

  if (!options_.registerBoxIp.isEmpty()) {
    // The fresh database replaces the current one only once the box has
    // answered with a pairing: a failed attempt keeps the agent as it was.
    Enrolment enrolment(*networkManager_,
                        {QSysInfo::machineHostName(), options_.nas, numericVersion()},
                        [&](const Enrolment::Pairing& p) -> std::uint32_t {
                          if (!database.createDB(path)) return KVN_E_FAILED;
                          return credentials.saveCredentials(p.licenseStorage, p.licenseAgent,
                                                             p.boxIp, p.datanode, p.cryptkey);
                        });
    return enrolment.enrol(options_.registerBoxIp) == KVN_OK;
  }

  std::optional<QString> boxIpOverride;
  if (options_.boxIpOverride) boxIpOverride = QString::fromLatin1(*options_.boxIpOverride);
  if (!database.openDB(path) || !credentials.load(boxIpOverride)) {
    KLOG_F("openDB error");
    return false;
  }
  if (!credentials.resetAgent()) return true;

  // The box asked for a reset: start over with an empty database.
  if (!database.createDB(path)) {
    KLOG_F("reset DB error");
    return false;
  }
  if (!database.openDB(path) || !credentials.load(boxIpOverride)) {
    KLOG_F("openDB error");
    return false;
  }
  return true;
}

int App::runBoxTest() {
  // The box load test: one packet carrying the test's length in seconds.
  constexpr std::uint32_t kBoxTestPacketType = 17;
  KLOG_I("Running BoxScalabilityTest task...");
  CZLVNetwork network(true, *credentials_);
  // Without a session there is nothing to test; the process then says so
  // through its exit code instead of ending as if the test had run.
  if (const std::uint32_t result = network.ConnectToServer(); result != KVN_OK) {
    KLOG_E("ConnectToServer error: 0x%08x", result);
    return 1;
  }
  kvn_network::NetPacket request(kBoxTestPacketType);
  request.putInt32(options_.boxTestSeconds);
  if (!network.SendPacket(request)) {
    KLOG_E("cannot send packet");
    network.stop();
    return 1;
  }
  try {
    network.receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("Error receiving packet: %s", e.what());
    return 1;
  }
  return 0;
}

void App::finish(int exitCode) { earlyExit_ = exitCode; }

int App::exec() {
  if (earlyExit_) return *earlyExit_;

  if (credentials_->restoredAgent()) {
    KLOG_F("This is a restored agent, please reinstall the software using the installer");
    return 0;
  }

  if (const int error = kvn_platform::startSockets(); error != 0) {
    KLOG_F("WSAStartup failed with error %d", error);
    return 1;
  }
  if (!kvn_vss::loadVssLibrary()) {
    KLOG_F("Failed to load VSS dynamic library");
    return 1;
  }
  kvn_crypto::setupOpenSslLocking();
  fileOperations_ = std::make_unique<FileOperationManager>(FileOperationContext{
      credentials_.get(), {}, paths_.signaturesDir, boxNetworkFactory(*credentials_, {})});
  fileOperations_->initialize();
  startBackupManager();
  kvn_platform::enableBackupPrivileges();
  kvn_platform::initComSecurity();

  kvn_agent_database::ResetUnfinishedOperations resetUnfinished;
  if (const std::uint32_t result =
          kvn_agent_database::AgentDatabase::instance().run(resetUnfinished);
      result != KVN_OK) {
    KLOG_E("resetUnfinishedOperations error %d", int(result));
  }

  startStopHandling();
  const int result = QCoreApplication::exec();

  // The box can no longer start anything once the channel is down; its
  // tasks end on the channel's thread before the services they use.
  tesselClient_.reset();
  // A launch action still running finishes before the managers it calls.
  launchActionRunner_.shutdown();

  // No new run may start while the running ones are being stopped, and no
  // retry of the job download may outlive the application it reads from.
  scheduler_.reset();
  retentionThread_.reset();
  maintenanceThread_.reset();
  reporter_.reset();
  upgrader_.reset();
  jobConfigUpdate_->stop();
  KLOG_I("finalize BackupManager, FileOperationManager");
  if (!backups_->finalize(kBackupFinalizeLimit)) {
    KLOG_E("backups still running at exit; waiting for them to end");
  }
  backups_.reset();
  fileOperations_->finalize();
  KLOG_I("unload VSS library");
  if (!kvn_vss::unloadVssLibrary()) KLOG_E("Failed to unload VSS dynamic library");
  kvn_crypto::cleanupOpenSslLocking();
  kvn_platform::stopSockets();
  return result;
}

void App::startBackupManager() {
  BackupEnvironment environment;
  environment.signaturesDir = paths_.signaturesDir;
  environment.workerDir = paths_.workerDir;
  environment.credentials = credentials_.get();
  environment.connect = boxNetworkFactory(*credentials_, environment.network);
  environment.fileOperations = fileOperations_.get();
  environment.listVolumes = &kvn_snapshot::listVolumes;
  backups_ = std::make_unique<BackupManager>(
      options_.maxParallelBackups > 0 ? unsigned(options_.maxParallelBackups)
                                      : BackupManager::kDefaultLimit,
      [environment](const BackupRequest& request) -> std::unique_ptr<BackupRun> {
        return std::make_unique<Backup>(request, environment);
      });
}

void App::startTesselClient() {
  TesselClientSettings settings;
  settings.licenseStorage = credentials_->licenseStorage();
  settings.licenseAgent = credentials_->licenseAgent();
  settings.cryptkey = credentials_->cryptkey();
  settings.boxIp = credentials_->boxIp();
  settings.hostPattern = credentials_->tesselHostPattern();
  tesselClient_ = std::make_unique<TesselClient>(settings, tesselQueries_, tesselTasks_, [] {
    kvn_mdns::BoxFinder finder;
    finder.findBoxes();
    return finder.foundBoxes();
  });
  connect(tesselClient_.get(), &TesselClient::validBoxIp, credentials_.get(),
          &Credentials::saveNewBoxIP, Qt::QueuedConnection);
  tesselClient_->start();
}

JobConfigContext App::jobConfigContext() const {
  JobConfigContext context;
  context.credentials = credentials_.get();
  context.baseDir = paths_.baseDir;
  return context;
}

AgentControl App::agentControl() {
  AgentControl control;
  BackupManager* backups = backups_.get();
  control.addBackup = [backups](std::int64_t jobId) {
    return backups->AddBackup(BackupRequest{jobId, false});
  };
  control.stopBackup = [backups](std::int64_t jobId, bool forUpgrade) {
    return backups->stop(jobId, forUpgrade);
  };
  control.stopAllBackups = [backups](bool forUpgrade) { backups->stopAll(forUpgrade); };
  control.activeBackups = [backups] { return backups->activeCount(); };
  FileOperationManager* operations = fileOperations_.get();
  control.startRestoration = [operations](const QString& id, const QString& target) {
    return operations->startRestoration(id, target);
  };
  control.startDeletion = [operations](const QString& id) { return operations->startDeletion(id); };
  control.stopRestoration = [operations](const QString& id, bool forUpgrade) {
    return operations->stopOperation(id, forUpgrade);
  };
  control.stopDeletion = control.stopRestoration;
  control.runningFileOperations = [operations] { return operations->runningCount(); };
  // Left empty without an upgrader (--no-upgrade): the action says so.
  if (Upgrader* upgrader = upgrader_.get()) {
    control.startUpgrade = [upgrader](bool resetAgent) {
      if (resetAgent) upgrader->requestReinstall();
      QMetaObject::invokeMethod(upgrader, &Upgrader::runTaskAsync, Qt::QueuedConnection);
      return std::uint32_t(KVN_OK);
    };
  }
  control.updateConfiguration = [this] { return jobConfigUpdate_->launch(); };
  control.noUpgrade = options_.noUpgrade;
  control.setResetAgent = [this](bool reset) { return credentials_->setResetAgent(reset); };
  return control;
}

void App::buildTesselHandlers() {
  agentControl_ = agentControl();
  agentFacts_ = {numericVersion(), startedAt_, paths_.logsDir.filePath("Zelvo.log"),
                 paths_.databasePath,
                 [] { return kvn_snapshot::volumeListReply(kvn_snapshot::listVolumes()); }};
  registerTesselHandlers(tesselQueries_, tesselTasks_, agentControl_, agentFacts_,
                         launchActionRunner_);
}

void App::startStopHandling() {
  if (options_.foreground) {
    stopWatcher_ = std::make_unique<StopWatcher>();
    connect(stopWatcher_.get(), &StopWatcher::stopRequested, this, &App::quit,
            Qt::QueuedConnection);
    stopWatcher_->start();
    return;
  }
  // The service manager learns that the agent is up once the loop runs.
  QTimer::singleShot(0, this, [this] { serviceThread_->host().notifyReady(); });
  connect(this, &QCoreApplication::aboutToQuit, this,
          [this] { serviceThread_->host().notifyStopping(); });
}

void App::quit() {
  KLOG_I("quit application");
  QCoreApplication::quit();
}

void App::runThreads() {
  KLOG_I("runThreads called");
  if (options_.noUpgrade) {
    KLOG_W("Upgrades disabled: %s", "--no-upgrade specified");
  } else {
    UpgraderContext context;
    context.credentials = credentials_.get();
    context.baseDir = paths_.baseDir;
    context.version = {ZLV_VERSION_MAJOR, ZLV_VERSION_MINOR, ZLV_VERSION_PATCH, ZLV_VERSION_BUILD};
    BackupManager* backups = backups_.get();
    context.stops.runningBackups = [backups] { return backups->activeCount(); };
    context.stops.stopBackups = [backups] { backups->stopAll(true); };
    FileOperationManager* operations = fileOperations_.get();
    context.stops.runningFileOperations = [operations] { return operations->runningCount(); };
    context.stops.stopFileOperations = [operations] { operations->stopAll(); };
    context.stops.refuseNew = [backups, operations] {
      backups->refuseNewBackups();
      operations->refuseNewOperations();
    };
    upgrader_ = std::make_unique<Upgrader>(std::move(context));
    upgrader_->startPeriodic(Upgrader::kIntervalMs);
  }
  reporter_ = std::make_unique<Reporter>(
      ReporterContext{credentials_.get(), fullVersion(), startedAt_, {}});
  reporter_->startPeriodic(Reporter::kIntervalMs);
  configUpdater_ = std::make_unique<ConfigUpdater>(*credentials_);
  connect(configUpdater_.get(), &ConfigUpdater::newDatanode, credentials_.get(),
          &Credentials::saveNewDatanode, Qt::QueuedConnection);
  configUpdater_->startPeriodic(ConfigUpdater::kIntervalMs);
  KLOG_I("Create MaintenanceThread");
  startHousekeeping();
  buildTesselHandlers();
  KLOG_I("Create TesselClient");
  startTesselClient();
  KLOG_I("Create UpdateJobCfgThread");
  updateJobCfgThread_ = std::make_unique<UpdateJobCfgThread>(jobConfigContext(), *jobConfigUpdate_);
  updateJobCfgThread_->start();
  KLOG_I("Create SchedulerThread");
  scheduler_ =
      std::make_unique<SchedulerThread>([backups = backups_.get()](qint64 jobId, bool externalize) {
        backups->AddBackup(BackupRequest{jobId, externalize});
      });
  scheduler_->start();
  KLOG_I("Create RetentionThread");
  startRetention();
}

void App::startHousekeeping() {
  MaintenanceDependencies dependencies;
  dependencies.foreground = options_.foreground;
  dependencies.rotateLog = [] { kvn_log::rotateIfNeeded(); };
  dependencies.anyBackupRunning = [backups = backups_.get()] { return backups->activeCount() > 0; };
  dependencies.createdAt = housekeeping::creationTime;
  dependencies.now = [] { return QDateTime::currentDateTime(); };
  maintenanceThread_ = std::make_unique<MaintenanceThread>(
      MaintenanceFolders{paths_.baseDir, paths_.logsDir, paths_.signaturesDir},
      std::move(dependencies));
  maintenanceThread_->start();
}

void App::startRetention() {
  RetentionDependencies dependencies;
  BackupManager* backups = backups_.get();
  dependencies.backupActive = [backups](qint64 jobId) { return backups->isActive(jobId); };
  dependencies.backupActiveOrQueued = [backups](qint64 jobId) {
    return backups->isActiveOrQueued(jobId);
  };
  // The purge is a deletion of the listed files, the one file operation
  // that carries its own list.
  dependencies.purge = [operations = fileOperations_.get()](const QString& id, qint64 jobId,
                                                            const QList<RetentionFile>& files) {
    QList<DeletionFile> deletions;
    for (const RetentionFile& file : files) deletions.append({file.path, file.idFile});
    return operations->createDeletion(id, jobId, deletions);
  };
  dependencies.now = [] { return QDateTime::currentSecsSinceEpoch(); };
  retentionThread_ = std::make_unique<RetentionThread>(
      RetentionSettings::from(options_.retentionUnit, options_.retentionDelay,
                              options_.retentionInterval),
      std::move(dependencies));
  retentionThread_->start();
}

void App::onSslError(QNetworkReply* reply, const QList<QSslError>& errors) {
  for (const QSslError& error : errors) {
    KLOG_D("SSL Error: %s", local8(error.errorString()).constData());
  }
  // Boxes present self-signed certificates; the pairing proceeds regardless.
  reply->ignoreSslErrors(errors);
}
