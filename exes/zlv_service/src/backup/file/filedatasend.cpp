// The data of one file attempt: the full version or the delta, each read
// once while the new signature is written beside it (through a tee for a
// full version, by the delta engine itself for a delta); the signature
// itself; and the download of a previous signature the agent lost.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <memory>
#include <optional>

#include "backup/backup.h"
#include "backup/backupstatus.h"
#include "backup/file/filebackup.h"
#include "backup/file/payloadcodecs.h"
#include "backup/file/selection.h"
#include "database/signaturefile.h"
#include "kvn_common/file_source.h"
#include "kvn_common/pipes.h"
#include "kvn_common/threading_pipe.h"
#include "kvn_compression/deflate_stream.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/backup_protocol.h"
#include "kvn_platform/text_path_qt.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/previous_signature.h"
#include "kvn_rsync/signature_engine.h"

using kvn_network::NetPacket;
namespace backup_type = kvn_network::backup_type;
namespace data_kind = kvn_network::data_kind;

namespace {

// From this size the signature is computed on a second thread.
constexpr std::int64_t kThreadedSignatureSize = 0x1000000;

struct ClosedFile {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};

}  // namespace

void FileBackup::runDataChain(const FileDescription& record, std::uint32_t dataKind,
                              kvn_rsync::PreviousSignature* previous) {
  Backup& run = backup();
  // Data the job encrypts itself is not encrypted a second time.
  auto sink =
      run.network().createSendFileSink(backup_type::kData, dataKind, !run.useCrypto(), false);
  newSignature_.reset();
  try {
    if (!previous && sendPrepared(record, *sink)) return;
    NewSignature signatureFile(record.newSignaturePath);
    const std::uint64_t blockLength = kvn_rsync::blockLength(std::uint64_t(record.size));
    std::optional<kvn_rsync::SignatureEngine> signature;
    kvn_common::StreamChain signatureBranch;
    std::optional<kvn_common::ThreadingPipe> threading;
    std::optional<kvn_common::TeePipe> tee;
    std::unique_ptr<kvn_common::StreamLink> delta;

    kvn_common::FileSource source(run.stopFlag());
    kvn_common::StreamChain data;
    data.append(source);
    if (previous) {
      // The delta engine writes the new signature in the same pass.
      delta = previous->deltaAndSignature(blockLength, signatureFile);
      data.append(*delta);
    } else {
      if (record.size >= kThreadedSignatureSize) signatureBranch.append(threading.emplace());
      signatureBranch.append(signature.emplace(blockLength)).append(signatureFile);
      data.append(tee.emplace(*signatureBranch.head()));
    }
    PayloadCodecs codecs;
    codecs.appendTo(data, run.useCompression(),
                    run.useCrypto() ? &run.network().dataCipher() : nullptr);
    data.append(*sink);
    source.read(kvn_platform::toNativePath(record.readPath));
    newSignature_ = signatureFile.takeKept();
  } catch (...) {
    sink->abort();
    throw;
  }
}

bool FileBackup::sendPrepared(const FileDescription& record,
                              kvn_network::NetClientSendFileSink& sink) {
  if (!preparer_ || record.size > FilePreparer::kMaxFileSize) return false;
  ++preparable_;
  std::optional<PreparedFile> prepared =
      preparer_->take(record.readPath, record.size, record.lastWrite, record.status);
  // The signature goes into place before the data leaves, so that a failure
  // on the way finds it where the ordinary way would have left it.
  if (!prepared || prepared->signaturePath() != record.newSignaturePath ||
      !prepared->commitSignature())
    return false;
  prepared->sendTo(sink);
  newSignature_ = std::move(prepared->signature());
  ++sentPrepared_;
  return true;
}

std::uint32_t FileBackup::sendFullVersion(const FileDescription& record) {
  if (stopRequested()) return stopped();
  // Kept alive for the whole function: the messages below print it.
  const QByteArray pathText = record.path.toLocal8Bit();
  const char* path = pathText.constData();
  try {
    runDataChain(record, data_kind::kFull, nullptr);
  } catch (const KvnCommonException& e) {
    if (e.code == KVN_E_STOPPED) return KVN_E_STOPPED;
    KLOG_E("Exception sending full version: %s Exception %d: %s", path, int(e.code), e.what());
    return e.code;
  } catch (const std::exception& e) {
    KLOG_E("Std exception sending full version: %s Exception: %s", path, e.what());
    return KVN_E_SERVER;
  } catch (...) {
    KLOG_E("Unknown exception sending full version: %s", path);
    return KVN_E_SERVER;
  }
  KLOG_D("Full version sent for: %s", path);
  return KVN_OK;
}

std::uint32_t FileBackup::sendDelta(FileDescription& record) {
  if (stopRequested()) return stopped();
  const QByteArray path = record.path.toUtf8();
  std::unique_ptr<std::FILE, ClosedFile> previous(
      std::fopen(QFile::encodeName(record.previousSignaturePath).constData(), "rb"));
  if (!previous) {
    KLOG_W("Could not open signature file '%s' (%d)", qPrintable(record.previousSignaturePath),
           errno);
    return kMissingSignature;
  }
  // A signature that cannot be loaded is found before the box is told that
  // a delta comes, so that the conversation goes straight to the download.
  std::optional<kvn_rsync::PreviousSignature> previousSums;
  try {
    previousSums.emplace(previous.get());
  } catch (const KvnCommonException& e) {
    KLOG_E("Exception sending file delta: %s Exception %d: %s", path.constData(), int(e.code),
           e.what());
    return e.code;
  }

  NetPacket announcement(backup_type::kDeltaAnnounce);
  if (!backup().network().SendPacket(announcement)) {
    KLOG_E("Error sending packet SigAndDelta");
    backup().addError();
    kvn_agent_database::deleteSignatureFile(record.newSignaturePath);
    return KVN_E_NETWORK;
  }
  if (const auto result = backup().CheckBackupResPacket()) {
    kvn_agent_database::deleteSignatureFile(record.newSignaturePath);
    backup().addError();
    return result;
  }
  try {
    runDataChain(record, data_kind::kDelta, &*previousSums);
  } catch (const KvnCommonException& e) {
    if (e.code == KVN_E_STOPPED) return KVN_E_STOPPED;
    KLOG_E("Exception sending file delta: %s Exception %d: %s", path.constData(), int(e.code),
           e.what());
    return e.code;
  } catch (const std::exception& e) {
    KLOG_E("Std exception sending file delta: %s Exception: %s", path.constData(), e.what());
    return KVN_E_SERVER;
  } catch (...) {
    KLOG_E("Unknown exception sending file delta: %s", path.constData());
    return KVN_E_SERVER;
  }
  KLOG_D("Version delta sent for: %s", path.constData());
  return KVN_OK;
}

std::uint32_t FileBackup::sendSignature(const FileDescription& record) {
  if (stopRequested()) return stopped();
  try {
    if (newSignature_) {
      backup().network().sendBytes(newSignature_->data(), newSignature_->size(), backup_type::kData,
                                   data_kind::kSignature, false, false);
    } else {
      backup().network().sendFile(record.newSignaturePath, backup_type::kData,
                                  data_kind::kSignature, false, false);
    }
  } catch (const std::exception& e) {
    KLOG_E("Exception sending signature for file: %s - %s", qPrintable(record.path), e.what());
    return KVN_E_NETWORK;
  }
  KLOG_D("Signature sent for: %s", qPrintable(record.path));
  return KVN_OK;
}

std::uint32_t FileBackup::failTransfer(std::uint32_t result, const FileDescription& record,
                                       std::uint32_t packetType, const char* what) {
  kvn_agent_database::deleteSignatureFile(record.newSignaturePath);
  const QString message = QStringLiteral("%1 (%2)").arg(record.path, QLatin1String(what));
  bool sent;
  if (result == KVN_E_STOPPED) {
    sent = backup().sendStopReport(packetType, message);
  } else {
    backup().addError();
    sent = backup().sendReport(packetType, backup_report::kTransferFile, backup_report::kTextError,
                               message);
  }
  return sent ? result : KVN_E_NETWORK;
}

std::uint32_t FileBackup::downloadSignature(FileDescription& record, std::uint32_t& described) {
  KLOG_W("Downloading missing signature for file/volume %s", qPrintable(record.path));
  if (const auto result = fetchSignature(backup(), record.path, record.previousSignaturePath)) {
    KLOG_E("Error GetSigFileFromServer: %d", int(result));
    return result;
  }
  record.basisFromBox = true;
  described = describeFile(backup(), record);
  if (QFileInfo::exists(record.previousSignaturePath)) return KVN_OK;
  KLOG_E("Could not read signature after download: %s", qPrintable(record.path));
  backup().addError();
  const bool sent = backup().sendReport(backup_type::kSignatureRequest, backup_report::kVersion,
                                        backup_report::kTextError,
                                        record.path + QStringLiteral(" (download sig)"));
  return sent ? kMissingSignature : KVN_E_NETWORK;
}
