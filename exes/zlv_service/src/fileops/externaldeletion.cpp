#include "fileops/externaldeletion.h"

#include "backup/file/selection.h"
#include "database/filerecords.h"
#include "fileops/boxrequest.h"
#include "filesystem/zlvfile.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_network/file_operation_protocol.h"

using namespace kvn_network::external_deletion_type;
using fileops::receiveCount;
using fileops::receiveLogged;
using fileops::sendBuilt;

ExternalDeletion::ExternalDeletion(const QString& operationId, FileOperationContext context)
    : FileOperation(operationId, std::move(context)) {}

std::uint32_t ExternalDeletion::execute(QSqlDatabase& db) {
  if (stopCheck()) return KVN_E_STOPPED;
  total_ = -1;
  CZLVNetwork& box = openNetwork();
  if (const std::uint32_t result = box.ConnectToServer()) {
    KLOG_E("Error ConnectToServer: %d", int(result));
    return result;
  }
  if (const std::uint32_t result = box.SendOperation(QStringLiteral("EXTDEL_INITIAL"))) {
    KLOG_E("Error SendOperation: %d", int(result));
    closeNetwork();
    return result;
  }
  if (const std::uint32_t result = countFiles())
    KLOG_E("Error calculating GetDeletionExtFilesNumber: %d", int(result));

  const std::uint32_t result = deleteListedFiles(db);
  if (result == kNoMore) {
    if (const std::uint32_t confirm = box.SendConfirmPacket(kNoMore))
      KLOG_E("Error SendConfirmPacket: %d", int(confirm));
    else
      box.receiveConfirm();
  } else if (result != KVN_OK) {
    KLOG_E("Error ExtDeleteListFiles: %d", int(result));
  }
  return KVN_OK;
}

std::uint32_t ExternalDeletion::countFiles() {
  if (const std::uint32_t result = sendBuilt(
          network(), kCount,
          [this](kvn_network::NetPacket& packet) { packet.putString(operationId()); },
          "Error: sending packet", "Error: sending packet"))
    return result;
  return receiveCount(network(), "Error: receiving packet", &total_);
}

std::uint32_t ExternalDeletion::deleteListedFiles(QSqlDatabase& db) {
  if (stopCheck()) return KVN_E_STOPPED;
  if (const std::uint32_t result = sendBuilt(
          network(), kAction,
          [this](kvn_network::NetPacket& packet) {
            packet.putString(operationId());
            packet.putString(std::string(kDelete));
          },
          "Error: sending packet", "Error: sending packet"))
    return result;
  auto answer = receiveLogged(network(), "Error: receiving packet");
  if (!answer) return KVN_E_NETWORK;
  if (answer->type() == kNoMore) return kNoMore;

  std::uint32_t last = KVN_OK;
  std::int32_t handled = 0;
  for (; handled < total_; ++handled) {
    last = deleteNextFile(db);
    if (last == KVN_OK) {
      ++processed_;
    } else if (last == kNoMore) {
      return kNoMore;
    } else if (last == KVN_E_EXCEPTION) {
      ++processed_;
      break;
    } else if (last == KVN_E_STOPPED) {
      KLOG_E("STOP BY USER");
      break;
    } else if (last == KVN_E_NETWORK) {
      // The connection is gone: every further file would fail the same
      // way, as often as the box's count says.
      KLOG_E("Error Deleting file: %d", int(last));
      break;
    } else {
      KLOG_E("Error Deleting file: %d", int(last));
      ++processed_;
    }
  }
  if (network().SendConfirmPacket(kNext) == KVN_OK) network().receiveConfirm();
  return handled >= total_ ? kNoMore : last;
}

std::uint32_t ExternalDeletion::deleteNextFile(QSqlDatabase& db) {
  if (stopCheck()) return KVN_E_STOPPED;
  if (const std::uint32_t result = sendBuilt(
          network(), kNext,
          [this](kvn_network::NetPacket& packet) { packet.putString(operationId()); },
          "Error: sending packet", "Error: sending packet"))
    return result;
  auto answer = receiveLogged(network(), "Error receiving packet");
  if (!answer) return KVN_E_NETWORK;
  if (answer->type() == kNoMore) return kNoMore;
  if (answer->isError()) {
    KLOG_E("Error: the box refused the next file: 0x%08x", fileops::errorCode(*answer));
    return KVN_E_SERVER_STATUS;
  }
  QString path;
  std::int64_t jobId = 0;
  try {
    path = fromWirePath(answer->getString());
    jobId = std::int64_t(answer->getUInt64());
    answer->getInt32();
  } catch (const std::exception& e) {
    KLOG_E("Error receiving packet: %s", e.what());
    return KVN_E_EXCEPTION;
  }
  forget(db, path, jobId);
  return KVN_OK;
}

void ExternalDeletion::forget(QSqlDatabase& db, const QString& path, std::int64_t jobId) {
  if (jobId != currentJob_) {
    currentJob_ = jobId;
    loadVersions(db, jobId, versions_);
  }
  const FileVersion version = versions_.value(path);
  const kvn_agent_filesystem::ZLVFile local(path, jobId, context().signaturesDir);
  local.deleteSignature(path, version.lastWrite, jobId);
  kvn_agent_database::FileRecords records(db, context().signaturesDir);
  if (records.deleteFile(version.fileId) != KVN_OK) {
    KLOG_E("DeleteFileFromDB failed for %lld", static_cast<long long>(version.fileId));
    ++errors_;
    return;
  }
  versions_.remove(path);
}
