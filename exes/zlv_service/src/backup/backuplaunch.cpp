// The phases of a run after its row exists: PREP, the scripts, analysis,
// INI, the job's transfer and END, with the box's answers.
#include <QDir>

#include "backup/actionanswer.h"
#include "backup/backup.h"
#include "backup/backupstatus.h"
#include "backup/file/selection.h"
#include "backup/processexecutor.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/backup_protocol.h"

using namespace backup_status;
using kvn_network::NetPacket;
namespace backup_type = kvn_network::backup_type;

namespace {

constexpr int kScriptStartTimeoutMs = 30000;

const char* actionName(int kind) {
  switch (kind) {
    case Backup::Done: return "DONE";
    case Backup::BackupAction: return "BACKUP";
    case Backup::End: return "END";
    case Backup::Ini: return "INI";
    case Backup::PrePost: return "PREPOST";
    default: return nullptr;
  }
}

}  // namespace

std::uint32_t Backup::launchBackup() {
  if (stopRequested()) {
    KLOG_W("Execution stopped by the user.");
    return KVN_E_STOPPED;
  }
  limitExceeded_ = false;
  modifiedFiles_ = 0;
  errors_ = 0;
  if (!network_->isConnected()) return KVN_E_EXCEPTION;
  KLOG_I("Backup starting: %lld, jobid: %lld", static_cast<long long>(backupId_),
         static_cast<long long>(jobId_));

  if (const auto result = sendPrep()) {
    if (result != KVN_E_STOPPED) {
      KLOG_E("Error SendBackupAction: %d", int(result));
      status_ = kConnectionFailure;
    }
    return result;
  }

  if (!preScript_.isEmpty()) {
    if (const auto result = runScript(0, preScript_)) {
      KLOG_E("pre-backup script execution failed!");
      return result;
    }
  }
  preScriptDone_ = true;
  const auto prepared = job_->operation().prepare(*job_);
  if (prepared == KVN_E_STOPPED) {
    setStopStatus();
    return prepared;
  }
  if (prepared != KVN_OK) status_ = kLocalFailure;

  bool completed = false;
  const auto result = doBackup(completed);

  job_->operation().finish();
  if (!postScript_.isEmpty()) {
    if (const auto scriptResult = runScript(1, postScript_)) {
      KLOG_E("post-backup script execution failed!");
      return scriptResult;
    }
  }
  postScriptDone_ = true;
  if (!completed) return result;

  if (const auto end = SendBackupAction(End)) {
    KLOG_E("Error SendBackupAction: %d", int(end));
    return end;
  }
  if (const auto confirm = network_->SendConfirmPacket(backup_type::kRunConfirm)) {
    KLOG_E("Error SendConfirmPacket: %d", int(confirm));
    return confirm;
  }
  const auto answer = CheckBackupResPacket();
  KLOG_I("Backup done: %lld, jobid: %lld", static_cast<long long>(backupId_),
         static_cast<long long>(jobId_));
  return answer;
}

std::uint32_t Backup::doBackup(bool& completed) {
  completed = false;
  counters_ = {};
  if (const auto result = job_->analyse(db_, counters_)) {
    if (result == KVN_E_STOPPED) return result;
    KLOG_E("Error AnalyseBackupElements: %d", int(result));
    status_ = kConnectionFailure;
    sendReport(backup_report::kReportType, backup_report::kAnalysis, backup_report::kTextError);
    return result;
  }
  if (const auto result = UpdateBackupDB()) {
    status_ = kLocalFailure;
    KLOG_E("Error update database: %d", int(result));
    sendReport(backup_report::kReportType, backup_report::kUpdateRow, backup_report::kTextError);
    return result;
  }
  if (const auto result = SendBackupAction(Ini)) {
    if (result == KVN_E_STOPPED) return result;
    status_ = kConnectionFailure;
    KLOG_E("Error SendBackupAction: %d", int(result));
    return result;
  }
  if (const auto result = job_->doBackup(db_)) {
    if (result == KVN_E_STOPPED) return result;
    status_ = kLocalFailure;
    KLOG_E("Error DoBackup: %d", int(result));
    return result;
  }
  completed = true;
  return KVN_OK;
}

std::uint32_t Backup::sendPrep() {
  if (stopRequested()) return KVN_E_STOPPED;
  if (const auto sent = sendAction("PREP", [&](NetPacket& action) { action.putInt64(jobId_); })) {
    return sent;
  }
  const ActionAnswer answer = readPrepAnswer(*network_);
  if (!answer.sendAgain.isEmpty()) job_->forgetFiles(db_, answer.sendAgain);
  return answer.result;
}

std::uint32_t Backup::SendBackupAction(int kind) {
  if (const auto sent = sendBackupActionRequest(kind)) return sent;
  return readBackupActionAnswer(kind);
}

std::uint32_t Backup::sendBackupActionRequest(int kind) {
  const char* name = actionName(kind);
  if (!name) {
    KLOG_E("Error: Arguments");
    return KVN_E_ARGUMENTS;
  }
  return sendAction(name, [&](NetPacket& action) {
    if (kind != Ini) return;
    action.putInt64(jobId_);
    action.putInt64(counters_.bytesToBackup);
    action.putInt32(counters_.filesToBackup);
  });
}

std::uint32_t Backup::readBackupActionAnswer(int kind) {
  const char* name = actionName(kind);
  return name ? readActionAnswer(name) : KVN_E_ARGUMENTS;
}

std::uint32_t Backup::sendAction(const char* name,
                                 const std::function<void(NetPacket&)>& addFields) {
  try {
    NetPacket action(backup_type::kAction);
    action.putString(QString::fromLatin1(name));
    addFields(action);
    if (network_->SendPacket(action)) return KVN_OK;
    KLOG_E("Error sending message");
  } catch (const std::exception& e) {
    KLOG_E("Error sending message: %s", e.what());
  }
  return KVN_E_NETWORK;
}

std::uint32_t Backup::readActionAnswer(const char* action) {
  const ActionAnswer answer = ::readActionAnswer(*network_, action);
  if (answer.limitExceeded) limitExceeded_ = true;
  return answer.result;
}

std::uint32_t Backup::CheckBackupResPacket() {
  const std::uint32_t result = readFinalAnswer(*network_);
  if (result == KVN_E_INVALID_REPLY) ++errors_;
  return result;
}

std::uint32_t Backup::runScript(int kind, const QString& script) {
  ProcessExecutor executor(environment_.workerDir, jobId_,
                           kind == 0 ? ProcessExecutor::PreBackup : ProcessExecutor::PostBackup);
  executor.run(script, true, kScriptStartTimeoutMs);
  return sendScriptResult(kind, executor.exitCode(), executor.output());
}

std::uint32_t Backup::sendScriptResult(int kind, std::int32_t exitCode, const QString& output) {
  KLOG_D("exit code is %d", exitCode);
  if (const auto result = SendBackupAction(PrePost)) {
    if (result != KVN_E_STOPPED) {
      KLOG_E("Error Error SendBackupAction: %d", int(result));
      status_ = kConnectionFailure;
    }
    return result;
  }
  KLOG_D("Script output:\n%s", qPrintable(output));
  try {
    NetPacket packet(backup_type::kScriptResult);
    try {
      packet.putString(output);
    } catch (const KvnNetPacketException&) {
      packet = NetPacket(backup_type::kScriptResult);
      packet.putString(QStringLiteral("(MESSAGE_TOO_LARGE)"));
    }
    packet.putInt32(exitCode);
    packet.putUInt8(static_cast<std::uint8_t>(kind));
    if (!network_->SendPacket(packet)) {
      KLOG_E("can't send packet");
      return KVN_E_NETWORK;
    }
  } catch (const std::exception& e) {
    KLOG_E("Sending packet failed: %s", e.what());
    return KVN_E_NETWORK;
  }
  try {
    network_->receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("Receiving confirmation packet failed: %s", e.what());
    return KVN_E_NETWORK;
  }
  return KVN_OK;
}
