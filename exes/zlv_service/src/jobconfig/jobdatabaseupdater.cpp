#include "jobconfig/jobdatabaseupdater.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

#include "connection/credentials.h"
#include "database/sqlerror.h"
#include "jobconfig/jobfilestatements.h"
#include "jobconfig/jobtablestransaction.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace {

// Children before parents, so that no row ever points at a deleted one.
constexpr const char* kWipeStatements[] = {
    "DELETE FROM pattern_x_sel_tem",
    "DELETE FROM pattern",
    "DELETE FROM job_x_sel_tem",
    "DELETE FROM sel_tem",
    "DELETE FROM job",
    "DELETE FROM scheduler",
    "DELETE FROM prepost_backup_script",
};

}  // namespace

JobDatabaseUpdater::JobDatabaseUpdater(const QString& name, const JobConfigContext& context)
    : context_(context),
      network_(true, *context.credentials, context.network),
      connection_("JobMgt-" + name) {}

std::uint32_t JobDatabaseUpdater::initialize() {
  if (!network_.isConnected()) {
    KLOG_E("Error: netclient not created");
    return KVN_E_ARGUMENTS;
  }
  std::uint32_t result = network_.ConnectToServer();
  if (result != KVN_OK) {
    KLOG_E("Error to connect to server: 0x%08x", result);
    return result;
  }
  result = network_.SendOperation("PRZ_INITIAL");
  if (result != KVN_OK) {
    KLOG_E("Error: sending operation: 0x%08x", result);
    return result;
  }
  return KVN_OK;
}

std::uint32_t JobDatabaseUpdater::updateJobs(bool reset) {
  kvn_network::NetPacket request(kJobConfigRequestType);
  request.putUInt8(reset ? 1 : 0);
  if (!network_.SendPacket(request)) return KVN_E_NETWORK;
  try {
    network_.receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("error receiving confirmation packet: %s", e.what());
    return KVN_E_NETWORK;
  }

  QString path;
  std::uint32_t result = downloadJobsFile(path);
  if (result != KVN_OK) {
    KLOG_E("downloadJobsFile failed with (0x%08x)", result);
    return result;
  }
  result = replaceJobs(path);
  if (result != KVN_OK) return result;

  result = network_.SendConfirmPacket(kJobFileAppliedType);
  if (result != KVN_OK) return result;
  network_.receiveConfirm();
  if (reset) {
    const std::uint32_t cleared = context_.credentials->setResetAgent(false);
    if (cleared != KVN_OK) KLOG_E("cannot clear the reset agent flag: 0x%08x", cleared);
  }
  return KVN_OK;
}

std::uint32_t JobDatabaseUpdater::replaceJobs(const QString& path) {
  JobTablesTransaction transaction(database());
  if (!transaction.isOpen()) return KVN_E_FAILED;
  std::uint32_t result = deleteLocalJobs();
  if (result != KVN_OK) {
    KLOG_E("deleteLocalJobs failed with (0x%08x)", result);
    return result;
  }
  result = setupJobsFromFile(path);
  if (result != KVN_OK) {
    KLOG_E("setupJobsFromFile failed with (0x%08x)", result);
    return result;
  }
  return transaction.commit() ? KVN_OK : KVN_E_FAILED;
}

std::uint32_t JobDatabaseUpdater::downloadJobsFile(QString& path) {
  kvn_network::NetPacket request(kJobFileRequestType);
  network_.SendPacket(request);
  network_.receiveConfirm();
  path = context_.baseDir.filePath(kJobFileName);
  try {
    network_.receiveFile(path);
  } catch (const KvnCommonException& e) {
    KLOG_E("Receive SqlJobFile file: %s (%d)", e.what(), static_cast<int>(e.code));
    // A failure must never read as success, whatever code it carried.
    return e.code != KVN_OK ? e.code : KVN_E_EXCEPTION;
  } catch (...) {
    KLOG_E("Receive SqlJobFile file: Unknown exception");
    return KVN_E_EXCEPTION;
  }
  return KVN_OK;
}

std::uint32_t JobDatabaseUpdater::deleteLocalJobs() {
  for (const char* statement : kWipeStatements) {
    QSqlQuery query(database());
    if (!query.prepare(statement) || !query.exec()) {
      KLOG_SQL_FAILURE(statement, query.lastError());
      return KVN_E_FAILED;
    }
  }
  return KVN_OK;
}

std::uint32_t JobDatabaseUpdater::setupJobsFromFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    KLOG_E("cannot open file: %s : %s", qPrintable(path), qPrintable(file.errorString()));
    return KVN_E_SERVER;
  }
  const QByteArray content = file.readAll();
  file.close();
  return runJobFileStatements(database(), content);
}
