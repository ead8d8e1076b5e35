#include "backup/backup.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <chrono>
#include <mutex>

#include "backup/backupstatus.h"
#include "backup/fileoperationgate.h"
#include "backup/jobfactory.h"
#include "connection/credentials.h"
#include "database/agentdatabase.h"
#include "database/jobconfiglock.h"
#include "database/sqlerror.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_platform/power.h"

using namespace backup_status;
using kvn_network::NetPacket;

namespace {

std::int64_t nowSeconds() { return QDateTime::currentSecsSinceEpoch(); }

}  // namespace

Backup::Backup(const BackupRequest& request, const BackupEnvironment& environment)
    : jobId_(request.jobId),
      environment_(environment),
      request_(request),
      connectionName_(QStringLiteral("Backup[%1]").arg(request.jobId)) {}

void Backup::requestStop(bool forUpgrade) {
  if (forUpgrade) stopForUpgrade_.exchange(true);
  stop_.exchange(true);
}

std::uint32_t Backup::run() {
  FileOperationGate& gate =
      environment_.fileOperations ? *environment_.fileOperations : FileOperationGate::none();
  if (gate.isRunning(jobId_)) {
    if (!gate.askToYield(jobId_)) {
      KLOG_I("Backup delayed due to resto/del running (job_id=%d)", int(jobId_));
    }
    gate.waitUntilIdle(jobId_);
  }
  KLOG_I("Backup is starting (job_id=%d)", int(jobId_));

  db_ = kvn_agent_database::AgentDatabaseInstance().namedConnection(connectionName_);
  if (!db_.open()) {
    KLOG_E("cannot open database, aborting backup (job_id=%d)", int(jobId_));
    return KVN_E_FAILED;
  }
  // A run commits after every file; with the write-ahead log, syncing at
  // checkpoints instead of at every commit keeps the database consistent and
  // at worst forgets the last records after a power cut, which makes the
  // next run send those files again.
  QSqlQuery(db_).exec(QStringLiteral("PRAGMA synchronous=NORMAL;"));
  if (stopRequested()) {
    KLOG_W("Execution stopped by the user.");
    return KVN_E_STOPPED;
  }
  network_ = makeJobNetwork(environment_.connect, request_.allowDatanode, *environment_.credentials,
                            environment_.network);
  if (const auto result = network_->ConnectToServer()) {
    KLOG_E("Error ConnectToServer: %d", int(result));
    status_ = kConnectionFailure;
    return result;
  }
  kvn_platform::keepSystemAwake();
  struct SleepAgain {
    ~SleepAgain() { kvn_platform::allowSystemSleep(); }
  } sleepAgain;

  if (const auto result = network_->SendOperation(QStringLiteral("BCK_INITIAL"))) {
    KLOG_E("Error SendOperation: %d", int(result));
    status_ = kConnectionFailure;
    return result;
  }
  {
    std::unique_lock lock(jobConfigMutex);
    if (const auto result = loadConfiguration()) {
      KLOG_E("Error getting backup configuration: %d", int(result));
      status_ = kConnectionFailure;
      sendReport(backup_report::kReportType, backup_report::kConfiguration,
                 backup_report::kTextError);
      return result;
    }
    if (const auto result = insertBackupDB()) {
      KLOG_E("Error InsertBackupDB: %d", int(result));
      status_ = kConnectionFailure;
      sendReport(backup_report::kReportType, backup_report::kInsertRow, backup_report::kTextError);
      return result;
    }
    loadPrePostScripts();
  }

  try {
    const auto result = launchBackup();
    if (result == KVN_E_STOPPED) {
      setStopStatus();
      sendStopReport(backup_report::kReportType);
    } else if (result != KVN_OK) {
      status_ = kConnectionFailure;
      KLOG_E("Error LaunchBackup: %d", int(result));
      sendReport(backup_report::kReportType, backup_report::kLaunch, backup_report::kTextError);
    }
  } catch (const KvnNotPermittedException& e) {
    KLOG_E("Error launching backup: %s", e.what());
    notPermitted_ = true;
  }
  KLOG_I("Backup is finished (job_id=%d)", int(jobId_));
  return KVN_OK;
}

std::uint32_t Backup::loadConfiguration() {
  if (stopRequested()) return KVN_E_STOPPED;
  QSqlQuery query(db_);
  if (!query.prepare(QStringLiteral(
          "SELECT config_max_num_versions_to_save, job_type, use_crypto, use_compression FROM "
          "job WHERE job_id=:job_id;"))) {
    KLOG_SQL_FAILURE(query);
    return KVN_E_FAILED;
  }
  query.bindValue(QStringLiteral(":job_id"), qlonglong(jobId_));
  if (!query.exec()) {
    KLOG_SQL_FAILURE(query);
    return KVN_E_FAILED;
  }
  if (!query.next()) {
    KLOG_E("cannot get job config: no job found with this id: %d", int(jobId_));
    return KVN_E_FAILED;
  }
  const QString type = query.value(QStringLiteral("job_type")).toString();
  maxVersions_ = static_cast<std::int16_t>(
      query.value(QStringLiteral("config_max_num_versions_to_save")).toInt());
  useCompression_ = query.value(QStringLiteral("use_compression")).toBool();
  useCrypto_ = query.value(QStringLiteral("use_crypto")).toBool();
  job_ = ::createJob(*this, type);
  if (!job_) {
    KLOG_E("Invalid job type %s for job %lld", qPrintable(type), static_cast<long long>(jobId_));
    return KVN_E_EXCEPTION;
  }
  return job_->load(db_);
}

std::uint32_t Backup::insertBackupDB() {
  QSqlQuery query(db_);
  if (!query.prepare(
          QStringLiteral("INSERT INTO backup (start_time, status, job_id, nUnchangedFiles) VALUES "
                         "(:start_time, 0, :job_id, :nUnchangedFiles);"))) {
    KLOG_SQL_FAILURE(query);
    return KVN_E_FAILED;
  }
  query.bindValue(QStringLiteral(":start_time"), qlonglong(nowSeconds()));
  query.bindValue(QStringLiteral(":job_id"), qlonglong(jobId_));
  query.bindValue(QStringLiteral(":nUnchangedFiles"), 0);
  if (!query.exec()) {
    KLOG_SQL_FAILURE(query);
    return KVN_E_FAILED;
  }
  backupId_ = query.lastInsertId().toLongLong();
  return KVN_OK;
}

void Backup::loadPrePostScripts() {
  QSqlQuery query(db_);
  const bool ok =
      query.prepare(QStringLiteral(
          "SELECT post.script AS post_backup_script, pre.script AS pre_backup_script FROM job "
          "LEFT JOIN prepost_backup_script pre ON job.pre_backup_script_id=pre.id LEFT JOIN "
          "prepost_backup_script post ON job.post_backup_script_id=post.id WHERE "
          "job.job_id=:job_id;")) &&
      (query.bindValue(QStringLiteral(":job_id"), qlonglong(jobId_)), query.exec());
  if (!ok) {
    KLOG_SQL_FAILURE(query);
    KLOG_E("Error LoadPrePostBScript: %d", int(KVN_E_FAILED));
    return;
  }
  if (!query.next()) {
    KLOG_E("Error LoadPrePostBScript: %d", int(KVN_E_FAILED));
    return;
  }
  const auto decode = [&](const char* column) {
    return QString::fromUtf8(
        QByteArray::fromBase64(query.value(QLatin1String(column)).toString().toLatin1()));
  };
  postScript_ = decode("post_backup_script");
  preScript_ = decode("pre_backup_script");
  KLOG_D("Pre/post scripts loaded for job id %lld", static_cast<long long>(jobId_));
}

void Backup::setStopStatus() { status_ = stopForUpgrade_.load() ? kUpgradeStop : kUserStop; }

bool Backup::sendStopReport(std::uint32_t packetType, const QString& message) {
  const bool upgrade = stopForUpgrade_.load();
  const QString text = backup_report::text(
      upgrade ? backup_report::kTextUpgradeStop : backup_report::kTextUserStop, message);
  KLOG_W("%s", qPrintable(text));
  return network_->reportError(
      packetType, upgrade ? backup_report::kStopForUpgrade : backup_report::kStopByUser, text);
}

void Backup::markWithErrors() { status_ = backup_status::kLocalFailure; }

bool Backup::sendReport(std::uint32_t packetType, std::uint32_t reportCode, std::uint32_t textCode,
                        const QString& message) {
  return network_->reportError(packetType, reportCode, backup_report::text(textCode, message));
}

void Backup::bindCounters(QSqlQuery& query) const {
  query.bindValue(QStringLiteral(":status"), status_);
  query.bindValue(QStringLiteral(":bLimitExceded"), limitExceeded_);
  query.bindValue(QStringLiteral(":nModifiedFiles"), modifiedFiles_);
  query.bindValue(QStringLiteral(":nNewFiles"), 0);
  query.bindValue(QStringLiteral(":nErrors"), errors_);
}

std::uint32_t Backup::UpdateBackupDB() {
  const std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
  if (written_ && written_->status == status_ && written_->limitExceeded == limitExceeded_ &&
      written_->errors == errors_ &&
      (written_->modifiedFiles == modifiedFiles_ || nowMs - written_->atMs < 1000)) {
    return KVN_OK;
  }
  if (!countersQuery_) {
    QSqlQuery prepared(db_);
    if (!prepared.prepare(QStringLiteral(
            "UPDATE backup SET  status=:status,  bLimitExceded=:bLimitExceded,  "
            "nModifiedFiles=:nModifiedFiles,  nNewFiles=:nNewFiles,  nErrors=:nErrors WHERE  "
            "id=:id AND  last_time IS NULL AND  job_id=:job_id;"))) {
      KLOG_SQL_FAILURE(prepared);
      return KVN_E_FAILED;
    }
    countersQuery_ = std::move(prepared);
  }
  QSqlQuery& query = *countersQuery_;
  bindCounters(query);
  query.bindValue(QStringLiteral(":id"), qlonglong(backupId_));
  query.bindValue(QStringLiteral(":job_id"), qlonglong(jobId_));
  if (!query.exec()) {
    KLOG_SQL_FAILURE(query);
    return KVN_E_FAILED;
  }
  written_ = WrittenCounters{status_, limitExceeded_, modifiedFiles_, errors_, nowMs};
  return KVN_OK;
}

Backup::~Backup() {
  try {
    close();
  } catch (...) {
  }
  job_.reset();
  countersQuery_.reset();
  if (db_.isValid()) {
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName_);
  }
}

void Backup::close() {
  if (backupId_ == 0 || !network_) return;
  if (preScriptDone_ && !postScriptDone_ && !postScript_.isEmpty()) {
    if (runScript(1, postScript_) != KVN_OK) {
      KLOG_I("post-backup script in destructor execution failed (expected)");
    }
  }
  QSqlQuery query(db_);
  if (notPermitted_) {
    if (!query.prepare(QStringLiteral(
            "DELETE from backup WHERE  id=:id AND  last_time IS NULL AND  job_id=:job_id;"))) {
      KLOG_SQL_FAILURE(query);
      return;
    }
  } else {
    std::int32_t status = status_ | kFinished;
    if (errors_ != 0) status |= kWithErrors;
    if (limitExceeded_) {
      status |= kLimitExceeded;
    } else if (stopRequested()) {
      status |= stopForUpgrade_.load() ? kStoppedForUpgrade : kStoppedByUser;
    } else if ((status & kFailed) == 0) {
      status |= kSuccess;
    }
    status_ = status;
    if (!query.prepare(QStringLiteral(
            "UPDATE backup SET  last_time=:last_time,  status=:status,  "
            "bLimitExceded=:bLimitExceded,  nModifiedFiles=:nModifiedFiles,  "
            "nNewFiles=:nNewFiles,  nErrors=:nErrors WHERE  id=:id AND  last_time IS NULL AND  "
            "job_id=:job_id;"))) {
      KLOG_SQL_FAILURE(query);
      return;
    }
    query.bindValue(QStringLiteral(":last_time"), qlonglong(nowSeconds()));
    bindCounters(query);
  }
  query.bindValue(QStringLiteral(":id"), qlonglong(backupId_));
  query.bindValue(QStringLiteral(":job_id"), qlonglong(jobId_));
  if (!query.exec()) KLOG_SQL_FAILURE(query);
}
