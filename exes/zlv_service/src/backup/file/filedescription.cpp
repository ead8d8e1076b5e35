// Preparing the description of one file attempt and reading the box's
// answer to it.
#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "backup/backup.h"
#include "backup/backupstatus.h"
#include "backup/file/filebackup.h"
#include "backup/file/fsnjob.h"
#include "backup/file/selection.h"
#include "connection/credentials.h"
#include "database/signaturefile.h"
#include "kvn_common/atomic_file_sink.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/backup_protocol.h"

using kvn_agent_filesystem::KVNFileInfo;
using kvn_network::NetPacket;
namespace backup_type = kvn_network::backup_type;

namespace {

std::uint32_t conflictResult(const QString& answer) {
  static const struct {
    const char* text;
    std::uint32_t result;
  } kConflicts[] = {{"AE", 2}, {"SY", 3}, {"YA", 4}, {"YB", 5}, {"RN", 6},
                    {"GS", 7}, {"GC", 8}, {"RS", 9}, {"MV", 11}};
  for (const auto& conflict : kConflicts) {
    if (answer == QLatin1String(conflict.text)) return conflict.result;
  }
  return 0;
}

}  // namespace

std::uint32_t FileBackup::prepareFileToSend(const KVNFileInfo& file, bool isNewFile,
                                            std::int32_t versionNumber,
                                            std::int32_t previousLastWrite,
                                            FileDescription& record) {
  if (stopRequested()) return stopped();
  try {
    KLOG_D("prepare file to send: %s (isNewFile=%d, versionNumber=%d, nPreVerWriteTime=%d)",
           qPrintable(file.path()), int(isNewFile), versionNumber, previousLastWrite);
    const QDir& signatures = backup().environment().signaturesDir;
    record.path = QDir::toNativeSeparators(file.path());
    record.readPath = file.readPath();
    record.size = file.size();
    record.digest = kvn_agent_database::pathDigest(record.path);
    record.maxVersions = backup().maxVersions();
    record.lastWrite = static_cast<std::int32_t>(file.lastWriteFromFile(record.status));
    record.isNewFile = isNewFile;
    record.boxPaired = backup().environment().credentials->hasBoxIp();
    record.versionNumber = versionNumber;
    record.previousLastWrite = previousLastWrite;
    if (!isNewFile) {
      record.previousSignaturePath = kvn_agent_database::signatureFilePath(
          signatures, record.path, previousLastWrite, job_->jobId());
    }
    record.newSignaturePath = kvn_agent_database::signatureFilePath(
        signatures, record.path, record.lastWrite, job_->jobId());
    if (!signatureFolders_.ensure(QFileInfo(record.newSignaturePath).path())) {
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_SERVER, "cannot create the folder of %s",
                                         qPrintable(record.newSignaturePath));
    }
  } catch (const std::exception& e) {
    KLOG_E("Exception in PrepareFileToSend: %s", e.what());
    return KVN_E_SERVER;
  }
  if (stopRequested()) return stopped();
  return KVN_OK;
}

std::uint32_t FileBackup::reportPreparationFailure(std::uint32_t result, const QString& path) {
  bool sent;
  if (result == KVN_E_STOPPED) {
    sent = backup().sendStopReport(backup_type::kDescription, path);
  } else {
    const QString text = backup_report::text(backup_report::kTextError, path);
    KLOG_W("%s", qPrintable(text));
    sent = backup().sendReport(backup_type::kDescription, backup_report::kPrepareFile,
                               backup_report::kTextError, path);
  }
  return sent ? result : KVN_E_NETWORK;
}

namespace {

std::uint32_t readDescriptionAnswer(Backup& run, FileDescription& record);

}  // namespace

std::uint32_t describeFile(Backup& run, FileDescription& record) {
  NetPacket description(backup_type::kDescription);
  try {
    description.putString(toWirePath(record.path));
    description.putInt32(record.lastWrite);
    description.putByteArray(record.digest);
    description.putInt64(record.size);
    description.putInt64(record.reserved);
    description.putUInt16(static_cast<std::uint16_t>(record.maxVersions));
    description.putUInt8(record.isNewFile ? 0 : 1);
    description.putUInt8(record.boxPaired ? 1 : 0);
    description.putInt32(record.versionNumber);
    description.putInt32(record.previousLastWrite);
    description.putUInt8(record.kind);
    if (record.kind == kVolumeKind) {
      for (int i = 0; i < 3; ++i) description.putString(record.volumeTexts.value(i));
      for (const auto number : record.volumeNumbers) description.putInt64(number);
    }
    const auto& key = run.network().fileKey();
    description.putByteArray(key.data(), key.size());
  } catch (const std::exception& e) {
    KLOG_E("Error creating packet of File Description: %s", e.what());
    return KVN_E_SERVER;
  }
  if (!run.network().SendPacket(description)) {
    KLOG_E("Error: send packet");
    return KVN_E_NETWORK;
  }
  return readDescriptionAnswer(run, record);
}

namespace {

std::uint32_t readDescriptionAnswer(Backup& run, FileDescription& record) {
  NetPacket answer;
  try {
    answer = run.network().receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("Exception during receiving file descriptor confirmation packet: '%s'", e.what());
    return KVN_E_NETWORK;
  }
  if (answer.isError()) {
    std::uint32_t code;
    try {
      code = answer.getUInt32();
    } catch (const std::exception& e) {
      KLOG_E("Error send packet: %s", e.what());
      return KVN_E_NETWORK;
    }
    if (code != kvn_network::box_code::kConflict) {
      KLOG_E("Unexpected error type from server: %d", int(code));
      return KVN_E_INVALID_REPLY;
    }
    try {
      const QString conflict = answer.getString();
      if (conflict == QLatin1String("AE")) {
        KLOG_E("Error: conflict ALREADY_EXIST. Path: '%s'", qPrintable(record.path));
      }
      return conflictResult(conflict);
    } catch (const std::exception& e) {
      KLOG_E("Error: reading data from packet: %s", e.what());
      return KVN_E_NETWORK;
    }
  }
  if (answer.type() != backup_type::kKnownFile) return FileBackup::kAccepted;
  try {
    const std::uint64_t signatureSize = answer.getUInt64();
    KLOG_D("SendFileDescription: Signature server size: %llu",
           static_cast<unsigned long long>(signatureSize));
    if (signatureSize == 0) {
      KLOG_E("Signature Server fileSize == 0");
      return KVN_E_INVALID_REPLY;
    }
    const std::int32_t boxLastWrite = answer.getInt32();
    KLOG_D("SendFileDescription: LastWrite: %d", boxLastWrite);
    const bool keptBasis =
        !record.previousSignaturePath.isEmpty() && QFileInfo::exists(record.previousSignaturePath);
    if (boxLastWrite != record.previousLastWrite && !record.basisFromBox) {
      if (record.kind == 0) {
        KLOG_W("LastWrite agent/server mismatch: %d/%d (the box's signature is downloaded)",
               record.previousLastWrite, boxLastWrite);
        if (keptBasis) QFile::remove(record.previousSignaturePath);
      } else {
        KLOG_W("LastWrite agent/server mismatch: %d/%d (always use agent's one)",
               record.previousLastWrite, boxLastWrite);
      }
    }
    const QFileInfo previous(record.previousSignaturePath);
    if (keptBasis && previous.exists() && std::uint64_t(previous.size()) != signatureSize) {
      KLOG_W("Signature size mismatch for client / server, removing for redownload");
      QFile::remove(record.previousSignaturePath);
    }
  } catch (const std::exception& e) {
    KLOG_E("Error: reading data from packet: %s", e.what());
    return KVN_E_NETWORK;
  }
  return FileBackup::kAccepted;
}

}  // namespace

std::uint32_t sendFileInfoRequest(Backup& run, const QString& path, std::int64_t size,
                                  std::int64_t jobId, const QString& name) {
  NetPacket info(backup_type::kAction);
  try {
    info.putString(QStringLiteral("INFO"));
    info.putString(path);
    info.putInt64(size);
    info.putInt64(jobId);
    info.putString(name);
    if (!run.network().SendPacket(info)) {
      KLOG_E("Error sending message");
      return KVN_E_NETWORK;
    }
  } catch (const KvnCommonException& e) {
    KLOG_E("Error sending message %s", e.what());
    return e.code;
  }
  return KVN_OK;
}

std::uint32_t readFileInfoAnswer(Backup& run) {
  try {
    run.network().receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("error while receiving backup action OK: %s", e.what());
    return KVN_E_NETWORK;
  }
  return KVN_OK;
}

std::uint32_t sendFileInfo(Backup& run, const QString& path, std::int64_t size, std::int64_t jobId,
                           const QString& name) {
  if (const auto sent = sendFileInfoRequest(run, path, size, jobId, name)) return sent;
  return readFileInfoAnswer(run);
}

std::uint32_t fetchSignature(Backup& run, const QString& path, const QString& target) {
  NetPacket request(backup_type::kSignatureRequest);
  request.putString(toWirePath(path));
  KLOG_I("asking for sig: %s", qPrintable(path));
  if (!run.network().SendPacket(request)) {
    KLOG_E("Error: network().SendPacket");
    return KVN_E_NETWORK;
  }
  QDir().mkpath(QFileInfo(target).path());
  // Received under a temporary name: a download cut short must never be
  // taken for the basis of a delta.
  const QByteArray targetName = QFile::encodeName(target);
  const std::string part = kvn_common::AtomicFileSink::partPath(targetName.toStdString());
  try {
    run.network().receiveFile(QFile::decodeName(QByteArray::fromStdString(part)));
  } catch (const std::exception& e) {
    KLOG_E("Exception receiving signature: %s - %s", qPrintable(path), e.what());
    std::remove(part.c_str());
    QFile::remove(target);
    run.network().receiveConfirm();
    return KVN_E_NETWORK;
  }
  if (!kvn_common::commitPartFile(part, targetName.toStdString())) {
    KLOG_E("Exception receiving signature: %s - cannot keep %s (%s)", qPrintable(path),
           part.c_str(), std::strerror(errno));
    std::remove(part.c_str());
    QFile::remove(target);
    run.network().receiveConfirm();
    return KVN_E_SERVER;
  }
  try {
    run.network().receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("Exception receiving confirmation packet: %s", e.what());
    return KVN_E_NETWORK;
  }
  return KVN_OK;
}
