#include "backup/volume/volumebackup.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "backup/backup.h"
#include "backup/backupstatus.h"
#include "backup/file/filebackup.h"
#include "backup/file/filedescription.h"
#include "backup/volume/sysimgjob.h"
#include "backup/volume/volumesender.h"
#include "connection/credentials.h"
#include "database/filerecords.h"
#include "database/signaturefile.h"
#include "filesystem/zlvfile.h"
#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/backup_protocol.h"
#include "kvn_vss/vss_import.h"

using kvn_network::NetPacket;
namespace backup_type = kvn_network::backup_type;
namespace image_kind = kvn_network::image_kind;

namespace {

constexpr int kMaxAttempts = 5;

bool isConflict(std::uint32_t result) { return result >= 3 && result <= 8; }

}  // namespace

VolumeBackup::VolumeBackup(Backup& backup, SysImgJob& job) : BackupOperation(backup), job_(job) {}

VolumeBackup::~VolumeBackup() = default;

std::uint32_t VolumeBackup::prepare(Job& /*job*/) {
  snapshot_ = std::make_unique<kvn_vss::ShadowCopySet>();
  const QStringList devices = job_.snapshotDevices().values();
  if (devices.isEmpty()) return KVN_OK;
  if (snapshot_->create(devices)) return KVN_OK;
  KLOG_E("Backup VSS error");
  backup().sendReport(backup_report::kReportType, backup_report::kSnapshot,
                      backup_report::kTextSnapshot);
  return 0xFFFFFFFF;
}

void VolumeBackup::begin(Job& /*job*/, QSqlDatabase& db) { db_ = &db; }

void VolumeBackup::end() { db_ = nullptr; }

void VolumeBackup::finish() {
  if (snapshot_) snapshot_->release();
}

void VolumeBackup::reportVolumeError(std::uint32_t code, const QString& path) {
  backup().addError();
  backup().markWithErrors();
  backup().sendReport(backup_report::kReportType, kVolumeReport, code, path);
}

std::uint32_t VolumeBackup::backupVolume(const QString& entry, VolumeInfo& info) {
  QString readPath = info.rawPath;
  std::int64_t backupTime = QDateTime::currentSecsSinceEpoch();
  if (readPath.isEmpty()) {
    if (snapshot_) readPath = snapshot_->snapshotPath(info.devicePath);
    if (readPath.isEmpty()) {
      KLOG_E("The volume %s has no VSS snapshot", qPrintable(entry));
      reportVolumeError(kNoSnapshot, entry);
      return kNoSnapshot;
    }
    backupTime = snapshot_->createdAt().toSecsSinceEpoch();
  }
  for (int attemptNumber = 0; attemptNumber < kMaxAttempts; ++attemptNumber) {
    const std::uint32_t result = attempt(entry, info, readPath, backupTime);
    if (isConflict(result)) {
      KLOG_W("Conflict: %d", int(result));
      const kvn_agent_filesystem::ZLVFile traces(entry, backup().jobId(),
                                                 backup().environment().signaturesDir);
      if (traces.removeFile(*db_, entry, backup().jobId()) == KVN_OK) info.hasPrevious = false;
      continue;
    }
    switch (result) {
      case KVN_E_INVALID_REPLY: KLOG_E("Error: Server side error"); break;
      case KVN_E_SERVER: KLOG_E("Error: File error"); break;
      case KVN_E_NETWORK: KLOG_E("Error: Network error"); break;
      case KVN_E_FAILED: KLOG_E("Error: Local Database error"); break;
      default: break;
    }
    return result;
  }
  return KVN_OK;
}

std::uint32_t VolumeBackup::attempt(const QString& entry, VolumeInfo& info, const QString& readPath,
                                    std::int64_t backupTime) {
  if (backup().stopRequested()) {
    KLOG_W("Execution stopped by the user.");
    return KVN_E_STOPPED;
  }
  if (const auto result = sendFileInfo(backup(), entry, std::int64_t(info.totalSize),
                                       backup().jobId(), info.displayName)) {
    KLOG_E("Error: sending file info");
    return result;
  }
  if (const auto result = backup().SendBackupAction(Backup::BackupAction)) {
    KLOG_E("Protocol error: SnapshotVolume.SendBackupAction");
    return result;
  }
  VolumeTransfer transfer;
  if (const auto result = buildTransfer(entry, info, readPath, backupTime, transfer)) {
    KLOG_E("SnapshotVolume.PrepareSysimgToSend error");
    return result;
  }
  const std::uint32_t result = sendVolume(info, transfer);
  if (backup().UpdateBackupDB() != KVN_OK) KLOG_W("UpdateBackupDB failed");
  return result;
}

std::uint32_t VolumeBackup::buildTransfer(const QString& entry, const VolumeInfo& info,
                                          const QString& readPath, std::int64_t backupTime,
                                          VolumeTransfer& transfer) {
  if (backup().stopRequested()) return KVN_E_STOPPED;
  const QDir& signatures = backup().environment().signaturesDir;
  transfer.volumePath = entry;
  transfer.devicePath = info.devicePath;
  transfer.snapshotPath = readPath;
  transfer.backupTime = backupTime;
  transfer.originalSize = info.totalSize;
  transfer.newHashmapPath =
      kvn_agent_database::signatureFilePath(signatures, entry, backupTime, backup().jobId());
  if (info.hasPrevious) {
    transfer.previousHashmapPath = kvn_agent_database::signatureFilePath(
        signatures, entry, info.previousVersion, backup().jobId());
  }
  transfer.compress = backup().useCompression();
  transfer.encrypt = backup().useCrypto();
  transfer.fsName = info.fsName;
  transfer.isBoot = info.isBoot;
  if (!QDir().mkpath(QFileInfo(transfer.newHashmapPath).path())) {
    KLOG_E("cannot create the folder of %s", qPrintable(transfer.newHashmapPath));
    return KVN_E_SERVER;
  }
  return KVN_OK;
}

std::uint32_t VolumeBackup::sendVolume(VolumeInfo& info, VolumeTransfer& transfer) {
  FileDescription record;
  record.path = transfer.volumePath;
  record.readPath = transfer.snapshotPath;
  record.newSignaturePath = transfer.newHashmapPath;
  record.previousSignaturePath = transfer.previousHashmapPath;
  record.size = std::int64_t(info.totalSize);
  record.digest = kvn_agent_database::pathDigest(record.path);
  record.maxVersions = backup().maxVersions();
  record.lastWrite = std::int32_t(transfer.backupTime);
  record.isNewFile = !info.hasPrevious;
  record.boxPaired = backup().environment().credentials->hasBoxIp();
  record.versionNumber = info.hasPrevious ? 2 : 1;
  record.previousLastWrite = info.hasPrevious ? info.previousVersion : 0;
  record.kind = kVolumeKind;
  record.volumeTexts = {info.displayName, info.fsName, info.diskSerial};
  record.volumeNumbers[0] = std::int64_t(info.diskSize);
  record.volumeNumbers[1] = std::int64_t(info.usedSize);

  kvn_agent_database::FileRecords records(*db_, backup().environment().signaturesDir);
  const std::uint32_t answer = describeFile(backup(), record);
  if (answer == FileBackup::kAccepted) {
    std::uint32_t result =
        info.hasPrevious ? deltaImage(info, transfer) : fullImage(info, transfer);
    if (result == FileBackup::kMissingSignature &&
        fetchSignature(backup(), transfer.volumePath, transfer.previousHashmapPath) == KVN_OK &&
        describeFile(backup(), record) == FileBackup::kAccepted) {
      result = deltaImage(info, transfer);
    }
    if (result != KVN_OK) {
      KLOG_E("Error occured during upload of volume %s", qPrintable(transfer.volumePath));
      discardNewHashmap(transfer);
      backup().addError();
    }
    return result;
  }
  if (answer == FileBackup::kAlreadyExists) {
    const std::uint32_t result =
        info.hasPrevious
            ? records.updateLastWrite(info.fileId, record.lastWrite)
            : records.insertFile(record.path, backup().jobId(), record.lastWrite, &info.fileId);
    if (result != KVN_OK) {
      KLOG_E("failed to add file: 0x%08x", result);
      backup().addError();
    }
    return KVN_OK;
  }
  discardNewHashmap(transfer);
  if (answer == FileBackup::kSyncConflict) {
    if (info.hasPrevious) records.deleteFile(info.fileId);
    return answer;
  }
  KLOG_W("Conflict or error! %d", int(answer));
  backup().addError();
  return answer;
}

std::uint32_t VolumeBackup::sendImage(const VolumeTransfer& transfer, std::uint32_t dataKind,
                                      const char* kind) {
  Backup& run = backup();
  const QByteArray pathText = transfer.volumePath.toUtf8();
  const char* path = pathText.constData();
  std::unique_ptr<kvn_network::FileSender> sender;
  try {
    sender = run.network().createFileSender(path, backup_type::kData, dataKind,
                                            transfer.originalSize, !run.useCrypto(), false);
  } catch (const std::exception& e) {
    KLOG_E("Exception sending %s sysimg: %sException: %s", kind, path, e.what());
    return KVN_E_SERVER;
  }
  std::uint32_t result = KVN_OK;
  try {
    VolumeSender volume(transfer, *sender, run.useCrypto() ? &run.network().dataCipher() : nullptr,
                        run.stopFlag(), dataKind == image_kind::kDelta);
    if (!volume.run()) result = KVN_E_EXCEPTION;
  } catch (const KvnCommonException& e) {
    if (e.code != KVN_E_STOPPED) {
      KLOG_E("Exception sending %s sysimg: %sException %d: %s", kind, path, int(e.code), e.what());
    }
    result = e.code;
  } catch (const std::exception& e) {
    KLOG_E("Std exception sending %s sysimg: %sException: %s", kind, path, e.what());
    result = KVN_E_EXCEPTION;
  } catch (...) {
    KLOG_E("Unknown exception sending %s sysimg: %s", kind, path);
    result = KVN_E_EXCEPTION;
  }
  if (result != KVN_OK) {
    if (sender->isOpen()) {
      try {
        sender->abort();
      } catch (const std::exception& e) {
        KLOG_E("cannot abort the image transfer of %s: %s", path, e.what());
      }
    }
    return result;
  }
  if (dataKind == image_kind::kDelta) {
    KLOG_D("Delta sysimg sent for: %s", path);
  } else {
    KLOG_D("Full sysimg sent for: %s", path);
  }
  return KVN_OK;
}

std::uint32_t VolumeBackup::sendHashmap(const VolumeTransfer& transfer) {
  if (backup().stopRequested()) return KVN_E_STOPPED;
  try {
    backup().network().sendFile(transfer.partPath(), backup_type::kData, image_kind::kHashmap,
                                false, false);
  } catch (const std::exception& e) {
    KLOG_E("Exception sending signature for sysimg: %s - %s", qPrintable(transfer.volumePath),
           e.what());
    return KVN_E_NETWORK;
  }
  KLOG_D("Signature sent for: %s", qPrintable(transfer.volumePath));
  return KVN_OK;
}

std::uint32_t VolumeBackup::confirm(const VolumeTransfer& transfer, std::uint32_t packetType) {
  if (const auto result = backup().network().SendConfirmPacket(packetType)) {
    KLOG_E("Error SendConfirmPacket: %d", int(result));
    return result;
  }
  if (const auto result = backup().CheckBackupResPacket()) {
    KLOG_E("Error CheckBackupResPacket: %d", int(result));
    return result;
  }
  // Only a confirmed image may become the parent of the next delta.
  QFile::remove(transfer.newHashmapPath);
  if (!QFile::rename(transfer.partPath(), transfer.newHashmapPath)) {
    KLOG_E("cannot put the hashmap %s in place", qPrintable(transfer.newHashmapPath));
    return KVN_E_FAILED;
  }
  // Without its fingerprints the next delta digests every block again,
  // which costs time and nothing else.
  const QString prints = kvn_agent_database::fingerprintsPath(transfer.newHashmapPath);
  QFile::remove(prints);
  if (QFile::exists(transfer.fingerprintsPartPath()) &&
      !QFile::rename(transfer.fingerprintsPartPath(), prints)) {
    KLOG_W("cannot put the block fingerprints %s in place", qPrintable(prints));
    QFile::remove(transfer.fingerprintsPartPath());
  }
  return KVN_OK;
}

std::uint32_t VolumeBackup::failImage(std::uint32_t result, const VolumeTransfer& transfer,
                                      std::uint32_t packetType, const char* what) {
  discardNewHashmap(transfer);
  const QString message = QStringLiteral("%1 (%2)").arg(transfer.volumePath, QLatin1String(what));
  bool sent;
  if (result == KVN_E_STOPPED) {
    sent = backup().sendStopReport(packetType, message);
  } else {
    sent = backup().sendReport(packetType, backup_report::kTransferFile, kImageFailed, message);
  }
  return sent ? result : KVN_E_NETWORK;
}

std::uint32_t VolumeBackup::fullImage(VolumeInfo& info, const VolumeTransfer& transfer) {
  if (const auto result = sendImage(transfer, image_kind::kFull, "full")) {
    return failImage(result, transfer, backup_type::kFullConfirm, "full");
  }
  if (const auto result = sendHashmap(transfer)) {
    return failImage(result, transfer, backup_type::kFullConfirm, "sig");
  }
  if (const auto result = confirm(transfer, backup_type::kFullConfirm)) return result;
  kvn_agent_database::FileRecords records(*db_, backup().environment().signaturesDir);
  const std::int32_t version = std::int32_t(transfer.backupTime);
  // A volume whose previous hashmap could not be a parent keeps its record.
  const std::uint32_t result =
      info.hasPrevious
          ? records.updateLastWrite(info.fileId, version)
          : records.insertFile(transfer.volumePath, backup().jobId(), version, &info.fileId);
  if (result != KVN_OK) {
    KLOG_E("failed to add volume");
    return result;
  }
  info.hasPrevious = true;
  info.previousVersion = version;
  return KVN_OK;
}

bool VolumeBackup::previousUsable(const VolumeTransfer& transfer) const {
  try {
    kvn_formats::volume_image::HashmapReader previous(transfer.previousHashmapPath);
    if (previous.blockSize() != kImageBlockSize || previous.chunkSize() != kImageChunkSize) {
      KLOG_E("incompatible hashmap");
    } else if (previous.imageSize() != imageSizeOf(transfer)) {
      KLOG_W("hashmap %s describes %llu bytes, the volume has %llu",
             qPrintable(transfer.previousHashmapPath),
             static_cast<unsigned long long>(previous.imageSize()),
             static_cast<unsigned long long>(imageSizeOf(transfer)));
    } else {
      return true;
    }
  } catch (const std::exception& e) {
    KLOG_W("cannot read hashmap %s: %s", qPrintable(transfer.previousHashmapPath), e.what());
  }
  KLOG_W("previous hashmap of %s unusable, sending a full image", qPrintable(transfer.volumePath));
  return false;
}

std::uint32_t VolumeBackup::deltaImage(VolumeInfo& info, VolumeTransfer& transfer) {
  if (!QFileInfo::exists(transfer.previousHashmapPath)) {
    KLOG_E("Could not read signature: %s", qPrintable(transfer.previousHashmapPath));
    return FileBackup::kMissingSignature;
  }
  if (!previousUsable(transfer)) {
    transfer.previousHashmapPath.clear();
    return fullImage(info, transfer);
  }
  NetPacket announcement(backup_type::kDeltaAnnounce);
  if (!backup().network().SendPacket(announcement)) {
    KLOG_E("Error sending packet SigAndDelta");
    backup().addError();
    discardNewHashmap(transfer);
    return KVN_E_NETWORK;
  }
  if (const auto result = backup().CheckBackupResPacket()) {
    discardNewHashmap(transfer);
    backup().addError();
    return result;
  }
  if (const auto result = sendImage(transfer, image_kind::kDelta, "delta")) {
    if (result == KVN_E_SERVER) {
      KLOG_E("Error generating volume delta: %d", int(result));
    } else if (result != KVN_E_STOPPED) {
      KLOG_E("Error sending volume delta: %d", int(result));
    }
    discardNewHashmap(transfer);
    if (result != KVN_E_STOPPED) backup().addError();
    const bool sent =
        result == KVN_E_STOPPED
            ? backup().sendStopReport(backup_type::kDeltaConfirm, transfer.volumePath)
            : backup().sendReport(backup_type::kDeltaConfirm, backup_report::kTransferFile,
                                  kImageFailed,
                                  QStringLiteral("Error while processing volume delta"));
    return sent ? result : KVN_E_NETWORK;
  }
  if (const auto result = sendHashmap(transfer)) {
    return failImage(result, transfer, backup_type::kDeltaConfirm, "sig");
  }
  if (const auto result = confirm(transfer, backup_type::kDeltaConfirm)) return result;
  kvn_agent_database::FileRecords records(*db_, backup().environment().signaturesDir);
  const std::int32_t version = std::int32_t(transfer.backupTime);
  if (const auto result = records.updateLastWrite(info.fileId, version)) {
    KLOG_E("updateFile failed with 0x%08x", result);
    return result;
  }
  info.previousVersion = version;
  return KVN_OK;
}

void VolumeBackup::discardNewHashmap(const VolumeTransfer& transfer) const {
  if (QFile::exists(transfer.partPath())) QFile::remove(transfer.partPath());
  if (QFile::exists(transfer.fingerprintsPartPath()))
    QFile::remove(transfer.fingerprintsPartPath());
}
