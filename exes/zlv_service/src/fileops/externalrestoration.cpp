#include "fileops/externalrestoration.h"

#include "backup/backupstatus.h"
#include "backup/file/selection.h"
#include "fileops/boxrequest.h"
#include "fileops/stagedfile.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/file_operation_protocol.h"

using namespace kvn_network::restore_type;
namespace report_code = kvn_network::report_code;
using fileops::receiveCount;
using fileops::receiveLogged;
using fileops::sendBuilt;

namespace {

// One file's outcome as the box learns it.
struct FileOutcome {
  std::uint32_t result = KVN_OK;
  QString text;
  void failWith(std::uint32_t code, const QString& errorText = {}) {
    if (result != KVN_OK) return;
    result = code;
    text = errorText;
  }
};

}  // namespace

ExternalRestoration::ExternalRestoration(const QString& target, const QString& operationId,
                                         FileOperationContext context)
    : FileOperation(operationId, std::move(context)), target_(target) {}

QString ExternalRestoration::errorText(int fileError) {
  std::uint32_t code = 0;
  switch (fileError) {
    case QFileDevice::WriteError: code = 0xe0000101; break;
    case QFileDevice::ResourceError: code = 0xe0000102; break;
    case QFileDevice::OpenError: code = 0xe0000103; break;
    case QFileDevice::PermissionsError: code = 0xe0000104; break;
    case QFileDevice::ResizeError: code = 0xe0000105; break;
    default: return {};
  }
  return QStringLiteral("$%1").arg(code, 0, 16);
}

std::uint32_t ExternalRestoration::execute(QSqlDatabase&) {
  if (stopCheck()) return KVN_E_STOPPED;
  total_ = -1;
  processed_ = 0;
  CZLVNetwork& box = openNetwork();
  if (const std::uint32_t result = box.ConnectToServer()) {
    KLOG_E("Error ConnectToServer: %d", int(result));
    return result;
  }
  if (const std::uint32_t result = box.SendOperation(QStringLiteral("EXTRST_INITIAL"))) {
    KLOG_E("Error SendOperation: %d", int(result));
    closeNetwork();
    return result;
  }
  if (const std::uint32_t result = countFiles()) {
    KLOG_E("Error calculating GetRestorationExtFilesNumber: %d", int(result));
    return KVN_OK;
  }
  const std::uint32_t result = restoreFiles();
  if (result == KVN_E_STOPPED) {
    const bool byUser = stoppedByUser();
    const QString text = backup_report::text(
        byUser ? report_code::kErrorText : report_code::kWarningText, target_.text());
    if (report(byUser ? report_code::kStoppedByUser : report_code::kStopped, text) != KVN_OK)
      return KVN_E_NETWORK;
  } else if (result == KVN_OK) {
    if (sendAction(kEnd) != KVN_OK) {
      KLOG_E("Error: sending packet");
      return KVN_E_NETWORK;
    }
  } else {
    KLOG_E("Error ExtRestoreListFiles: %d", int(result));
    const QString text = QStringLiteral("$%1 %2")
                             .arg(report_code::kRunFailedText, 8, 16, QChar(u'0'))
                             .arg(target_.text());
    if (report(report_code::kFailed, text) != KVN_OK) return KVN_E_NETWORK;
  }
  box.SendConfirmPacket(kFinal);
  box.receiveConfirm();
  return KVN_OK;
}

std::uint32_t ExternalRestoration::report(std::uint32_t code, const QString& text) {
  KLOG_W("%s", qPrintable(text));
  if (!network().reportError(kCount, code, text)) {
    KLOG_E("Error: network");
    return KVN_E_NETWORK;
  }
  return KVN_OK;
}

std::uint32_t ExternalRestoration::countFiles() {
  if (stopCheck()) return KVN_E_STOPPED;
  kvn_crypto::Bytes key;
  try {
    key = network().fileKey();
  } catch (const std::exception&) {
  }
  if (key.empty()) {
    KLOG_E("Error: getting AESKey");
    return KVN_E_EXCEPTION;
  }
  if (const std::uint32_t result = sendBuilt(
          network(), kCount,
          [&](kvn_network::NetPacket& packet) {
            packet.putString(operationId());
            packet.putString(reinterpret_cast<const char*>(key.data()), key.size());
          },
          "Error sending packet", "Error: sending packet"))
    return KVN_E_NETWORK;
  return receiveCount(network(), "Error receiving packet", &total_);
}

std::uint32_t ExternalRestoration::restoreFiles() {
  if (stopCheck()) return KVN_E_STOPPED;
  for (std::int32_t i = 0; i < total_; ++i) {
    const std::uint32_t result = restoreOne();
    if (result == KVN_E_EXCEPTION || result == KVN_E_NETWORK) {
      KLOG_E("Error Restoring file: %d", int(result));
      return result;
    }
    if (result == KVN_E_STOPPED) return result;
    if (result != KVN_OK) KLOG_E("Error Restoring file: %d", int(result));
  }
  return KVN_OK;
}

std::uint32_t ExternalRestoration::sendAction(const char* action) {
  return sendBuilt(
      network(), kAction,
      [&](kvn_network::NetPacket& packet) {
        packet.putString(operationId());
        packet.putString(std::string(action));
      },
      "Error: sending packet", "Error: sending packet");
}

std::uint32_t ExternalRestoration::restoreOne() {
  if (stopCheck()) return KVN_E_STOPPED;
  if (target_.text().isEmpty()) {
    KLOG_E("Error: arguments");
    return KVN_E_ARGUMENTS;
  }
  if (sendAction(kRestore) != KVN_OK) return KVN_E_NETWORK;
  std::int32_t lastWrite = 0;
  try {
    kvn_network::NetPacket answer = network().receivePacket();
    KLOG_T("Packet type: %d", int(answer.type()));
    // A box with no file to name answers with an error: no data follows.
    if (answer.isError()) {
      KLOG_E("Error: the box names no file: 0x%08x", fileops::errorCode(answer));
      return KVN_E_SERVER_STATUS;
    }
    current_ = fromWirePath(answer.getString());
    lastWrite = answer.getInt32();
  } catch (const std::exception& e) {
    KLOG_E("Error: receiving packet: %s", e.what());
    return KVN_E_NETWORK;
  }

  FileOutcome outcome;
  StagedFile::Failure failure;
  std::unique_ptr<StagedFile> staged;
  QString reason;
  const auto placement = target_.place(current_, &reason);
  const QByteArray destination = (placement ? placement->path : current_).toUtf8();
  if (!placement) {
    KLOG_E("Refused to restore '%s': %s", qPrintable(current_), qPrintable(reason));
    outcome.failWith(KVN_E_ARGUMENTS);
  } else if (!(staged = StagedFile::open(*placement, &failure))) {
    KLOG_E("Receiving file failed: %s : %s", destination.constData(), qPrintable(failure.text));
    outcome.failWith(KVN_E_SERVER, failure.refused ? QString() : errorText(failure.error));
  }

  if (network().SendConfirmPacket(kReady) != KVN_OK) {
    KLOG_E("Error: sending packet");
    return KVN_E_NETWORK;
  }
  try {
    if (staged)
      network().receiveFile(staged->file());
    else
      network().discardFile();
  } catch (const KvnQFileException& e) {
    KLOG_E("Receiving file failed: %s : %s", destination.constData(), e.what());
    outcome.failWith(KVN_E_SERVER, staged ? errorText(staged->file().error()) : QString());
  } catch (const KvnCommonException& e) {
    KLOG_E("Receiving file failed: %s : %s", destination.constData(), e.what());
    // A stop leaves the rest of the data on its way; refusing it keeps the
    // conversation in step for the stop report.
    if (e.code == KVN_E_STOPPED) network().refuseTransfer(kFileData);
    outcome.failWith(KVN_E_SERVER);
  } catch (const std::exception& e) {
    KLOG_E("Receiving file failed: %s : %s", destination.constData(), e.what());
    outcome.failWith(KVN_E_SERVER);
  }
  if (!receiveLogged(network(), QStringLiteral("Receiving confirmation packet failed for '%1'")
                                    .arg(QString::fromUtf8(destination))
                                    .toUtf8()
                                    .constData()))
    return KVN_E_NETWORK;

  if (outcome.result == KVN_OK && !staged->commit(lastWrite, &failure)) {
    KLOG_E("Receiving file failed: %s : %s", destination.constData(), qPrintable(failure.text));
    outcome.failWith(KVN_E_SERVER, errorText(failure.error));
  }
  staged.reset();

  const bool failed = outcome.result != KVN_OK;
  if (sendBuilt(
          network(), kFileResult,
          [&](kvn_network::NetPacket& packet) {
            packet.putInt32(failed ? 1 : 0);
            packet.putString(outcome.text);
          },
          "Error: sending packet", "Error: sending packet") != KVN_OK)
    return KVN_E_NETWORK;
  if (!receiveLogged(network(), "Receiving file result confirm packet failed"))
    return KVN_E_NETWORK;
  if (failed) return outcome.result;
  KLOG_I("\"%s\" was restored with success", destination.constData());
  ++processed_;
  return KVN_OK;
}
