#include "backup/file/filebackup.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QSet>
#include <utility>

#include "backup/backup.h"
#include "backup/backupstatus.h"
#include "backup/file/fsnjob.h"
#include "backup/pathdb/pathdatabase.h"
#include "database/filerecords.h"
#include "database/signaturefile.h"
#include "filesystem/zlvfile.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/backup_protocol.h"
#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"
#include "kvn_rsync/delta_stream.h"
#include "kvn_vss/vss_import.h"

using kvn_agent_filesystem::KVNFileInfo;
using kvn_network::NetPacket;
namespace backup_type = kvn_network::backup_type;

namespace {

constexpr int kMaxAttempts = 5;
// How many records a crash can forget, and how late others see them.
constexpr std::size_t kRecordsPerWrite = 256;
constexpr std::chrono::milliseconds kRecordsAge{500};

bool isConflict(std::uint32_t result) { return (result >= 3 && result <= 8) || result == 11; }

bool isAtOrBelow(const QString& path, const QString& folder) {
  return path == folder || path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

// The mount point a mounted file system's folder leads to, or nothing.
QString mountedVolume(const QString& reparsePoint) {
  std::string target;
  if (!kvn_platform::reparseTarget(kvn_platform::toNativePath(reparsePoint), target)) return {};
  KLOG_D("%s point on %s", qPrintable(reparsePoint), qPrintable(kvn_platform::toTextPath(target)));
  const std::string prefix = kvn_platform::kVolumeTargetPrefix;
  if (target.compare(0, prefix.size(), prefix) != 0) return {};
  return kvn_platform::toTextPath(std::string_view(target).substr(prefix.size()));
}

}  // namespace

FileBackup::FileBackup(Backup& backup, SnapshotContext& context)
    : BackupOperation(backup), context_(context) {}

FileBackup::~FileBackup() = default;

bool FileBackup::stopRequested() const { return backup().stopRequested(); }

std::uint32_t FileBackup::stopped() const {
  KLOG_W("Execution stopped by the user.");
  return KVN_E_STOPPED;
}

std::uint32_t FileBackup::prepare(Job& job) {
  auto& fsn = static_cast<FSNJob&>(job);
  reparsePoints_.clear();
  QElapsedTimer clock;
  clock.start();

  QStringList volumes;
  const Selection& selection = fsn.selection();
  for (auto it = selection.cbegin(); it != selection.cend(); ++it) {
    const QString& volume = it.key();
    if (!volumes.contains(volume)) volumes.append(volume);
    KLOG_D("generate fs db from %s", qPrintable(volume));
    PathDatabase paths(volume);
    if (!paths.load()) continue;
    QStringList volumeReparse;
    paths.reparseList(volumeReparse);
    reparsePoints_.append(volumeReparse);
    for (const auto& selected : it.value()) {
      for (const auto& point : volumeReparse) {
        if (stopRequested()) return stopped();
        if (!isAtOrBelow(point, selected)) continue;
        const QString mounted = mountedVolume(point);
        if (!mounted.isEmpty() && !volumes.contains(mounted)) volumes.append(mounted);
      }
    }
  }
  KLOG_I("in Backup:: get reparse list/target is done [duration=%ldms]",
         static_cast<long>(clock.elapsed()));

  std::uint32_t result = KVN_OK;
  snapshot_ = std::make_unique<kvn_vss::ShadowCopySet>();
  context_.setSnapshotTime(QDateTime::currentDateTime());
  if (!snapshot_->create(volumes)) {
    KLOG_E("Backup VSS error");
    result = 0xFFFFFFFF;
    backup().sendReport(backup_report::kReportType, backup_report::kSnapshot,
                        backup_report::kTextSnapshot);
  }
  for (const auto& volume : volumes) {
    context_.setSnapshotRoot(volume, snapshot_->snapshotPath(volume));
  }
  QSet<QString> mapped;
  for (auto it = selection.cbegin(); it != selection.cend(); ++it) {
    for (const auto& selected : it.value()) {
      for (const auto& point : reparsePoints_) {
        if (stopRequested()) return stopped();
        if (!isAtOrBelow(point, selected) && !isAtOrBelow(selected, point)) continue;
        const QString mounted = mountedVolume(point);
        if (mounted.isEmpty() || mapped.contains(point)) continue;
        mapped.insert(point);
        context_.addMountPoint(point, snapshot_->snapshotPath(mounted));
      }
    }
  }
  return result;
}

void FileBackup::begin(Job& job, QSqlDatabase& db) {
  job_ = &static_cast<FSNJob&>(job);
  db_ = &db;
  versions_ = &job_->versions();
  records_.emplace(db, backup().environment().signaturesDir);
  batch_.emplace(*records_, db, kRecordsPerWrite, kRecordsAge);
  signatureFolders_.clear();
  FilePreparer::Settings settings;
  settings.compress = backup().useCompression();
  settings.signaturesDir = backup().environment().signaturesDir;
  settings.folders = &signatureFolders_;
  settings.jobId = job_->jobId();
  settings.stopFlag = backup().stopFlag();
  try {
    if (backup().useCrypto()) settings.cipher = &backup().network().dataCipher();
    preparer_ = std::make_unique<FilePreparer>(settings);
  } catch (const std::exception& e) {
    // Every file is then read while it is sent.
    KLOG_W("files are not prepared ahead: %s", e.what());
  }
}

void FileBackup::end() {
  if (announced_) {
    // The run stopped after the next file's actions had gone: the box
    // hears of the stop as it would after any file's BACKUP action.
    if (!stopRequested())
      KLOG_W("%s was announced but not backed up", qPrintable(announced_->path));
    else if (announced_->info == KVN_OK && announced_->action == KVN_OK)
      backup().sendStopReport(backup_type::kDescription, announced_->path);
    announced_.reset();
  }
  if (preparable_ > 0)
    KLOG_I("%d of %d small new files were sent as prepared ahead", sentPrepared_, preparable_);
  preparable_ = sentPrepared_ = 0;
  preparer_.reset();
  if (batch_) countLost(batch_->write());
  batch_.reset();
  records_.reset();
  job_ = nullptr;
  db_ = nullptr;
  versions_ = nullptr;
}

void FileBackup::finish() {
  if (snapshot_) snapshot_->release();
}

std::uint32_t FileBackup::backupFile(const KVNFileInfo& file, const KVNFileInfo* next) {
  if (!job_) {
    KLOG_E("FileBackup: backup not started");
    return KVN_E_EXCEPTION;
  }
  next_ = next;
  // Whatever the outcome, the file's prepared payload is of no more use,
  // and the next file is the caller's again.
  struct Forget {
    FileBackup& backup;
    const QString readPath;
    ~Forget() {
      if (backup.preparer_) backup.preparer_->forget(readPath);
      backup.next_ = nullptr;
    }
  } forget{*this, file.readPath()};
  try {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
      const std::uint32_t result = sendFile(file);
      // Files prepared for a connection that is gone are never sent.
      if (result == KVN_E_NETWORK) preparer_.reset();
      if (isConflict(result)) {
        KLOG_W("Conflict: %d", int(result));
        const kvn_agent_filesystem::ZLVFile traces(file.path(), job_->jobId(),
                                                   backup().environment().signaturesDir);
        if (traces.removeFile(*db_, file.path(), job_->jobId()) == KVN_OK) {
          versions_->remove(file.path());
        }
        continue;
      }
      switch (result) {
        case KVN_E_INVALID_REPLY: KLOG_E("Server side error"); break;
        case KVN_E_SERVER: KLOG_E("File error"); break;
        case KVN_E_NETWORK: KLOG_E("Network error"); break;
        case KVN_E_FAILED: KLOG_E("Local Database error"); break;
        default: break;
      }
      return result;
    }
  } catch (const std::exception& e) {
    KLOG_E("Failed to save file %s due to exception %s", qPrintable(file.path()), e.what());
    return KVN_E_SERVER;
  }
  return KVN_OK;
}

void FileBackup::prepareAhead(const KVNFileInfo& file) {
  if (!preparer_ || !file.isRegularFile() || file.size() > FilePreparer::kMaxFileSize ||
      versions_->contains(file.path()))
    return;
  preparer_->request(QDir::toNativeSeparators(file.path()), file.readPath());
}

std::uint32_t FileBackup::sendFile(const KVNFileInfo& file) {
  if (const auto result = openFile(file)) return result;
  const auto known = versions_->constFind(file.path());
  const std::uint32_t result =
      known == versions_->cend() ? newFile(file) : knownFile(file, known.value());
  if (backup().UpdateBackupDB() != KVN_OK) KLOG_W("UpdateBackupDB failed");
  return result;
}

std::uint32_t FileBackup::openFile(const KVNFileInfo& file) {
  std::optional<Announced> announced;
  announced.swap(announced_);
  std::uint32_t info = KVN_OK;
  std::uint32_t action = KVN_OK;
  if (announced && announced->path == file.path()) {
    // A stop is seen by the description's own check, which tells the box.
    info = announced->info;
    action = announced->action;
  } else {
    if (announced)
      KLOG_W("%s was announced but %s came", qPrintable(announced->path), qPrintable(file.path()));
    if (stopRequested()) return stopped();
    info = sendFileInfo(backup(), file.path(), file.size(), job_->jobId());
    if (info == KVN_OK) action = backup().SendBackupAction(Backup::BackupAction);
  }
  if (info != KVN_OK) {
    KLOG_E("cannot send file info for %s (%d)", qPrintable(file.path()), int(info));
    return info;
  }
  if (action != KVN_OK) {
    KLOG_E("Error SendBackupAction: %d", int(action));
    return action;
  }
  return KVN_OK;
}

std::uint32_t FileBackup::confirmVersion(std::uint32_t confirmType) {
  std::uint32_t result = backup().network().SendConfirmPacket(confirmType);
  if (result != KVN_OK) {
    KLOG_E("Error SendConfirmPacket: %d", int(result));
    return result;
  }
  announceNext();
  // The box now stores the file: the time to prepare the next ones.
  if (preparer_) preparer_->resume();
  result = backup().CheckBackupResPacket();
  readAnnounced(result);
  if (preparer_) preparer_->pause();
  return result;
}

void FileBackup::announceNext() {
  const KVNFileInfo* next = std::exchange(next_, nullptr);
  if (!next || stopRequested()) return;
  Announced announced{next->path()};
  announced.info = sendFileInfoRequest(backup(), next->path(), next->size(), job_->jobId());
  if (announced.info == KVN_OK)
    announced.action = backup().sendBackupActionRequest(Backup::BackupAction);
  announced_ = std::move(announced);
}

void FileBackup::readAnnounced(std::uint32_t confirmed) {
  if (!announced_) return;
  Announced& announced = *announced_;
  if (announced.info != KVN_OK) return;
  if (confirmed == KVN_E_NETWORK) {
    // Their answers were to come after the one that did not.
    KLOG_E("error while receiving backup action OK: the connection failed before");
    announced.info = KVN_E_NETWORK;
    return;
  }
  announced.info = readFileInfoAnswer(backup());
  // A BACKUP that could not be sent keeps its failure.
  if (announced.action == KVN_OK) {
    announced.action = announced.info == KVN_OK
                           ? backup().readBackupActionAnswer(Backup::BackupAction)
                           : KVN_E_NETWORK;
  }
}

std::uint32_t FileBackup::newFile(const KVNFileInfo& file) {
  FileDescription record;
  if (preparer_) preparer_->beforeStatusRead(file.readPath());
  if (const auto result = prepareFileToSend(file, true, 1, 0, record)) {
    return reportPreparationFailure(result, file.path());
  }
  const std::uint32_t described = describeFile(backup(), record);
  if (described == kAlreadyExists) {
    countLost(batch_->insertFile(record.path, job_->jobId(), record.lastWrite));
    return kAlreadyExists;
  }
  if (described != kAccepted) {
    kvn_agent_database::deleteSignatureFile(record.newSignaturePath);
    return described;
  }
  // The data, the signature and the confirmation leave together; the box
  // answers once, after the confirmation.
  const HeldSends held(backup().network());
  if (const auto result = sendFullVersion(record)) {
    if (result != KVN_E_STOPPED) KLOG_E("Error sending full version: %d", int(result));
    return failTransfer(result, record, backup_type::kFullConfirm, "full");
  }
  if (const auto result = sendSignature(record)) {
    if (result != KVN_E_STOPPED) KLOG_E("Error sending signature: %d", int(result));
    return failTransfer(result, record, backup_type::kFullConfirm, "sig");
  }
  const std::uint32_t result = confirmVersion(backup_type::kFullConfirm);
  if (result == KVN_OK) {
    countLost(batch_->insertFile(record.path, job_->jobId(), record.lastWrite));
  } else {
    kvn_agent_database::deleteSignatureFile(record.newSignaturePath);
    backup().addError();
  }
  return result;
}

std::uint32_t FileBackup::knownFile(const KVNFileInfo& file, const FileVersion& version) {
  if (backup().UpdateBackupDB() != KVN_OK) KLOG_W("UpdateBackupDB failed");
  backup().addModifiedFile();
  if (!version.hasLastWrite()) {
    KLOG_E("Error: GetVersionCount");
    backup().addError();
    records_->deleteFile(version.fileId);
    return backup().sendReport(backup_type::kDescription, backup_report::kVersion,
                               backup_report::kTextError, file.path())
               ? KVN_E_SERVER
               : KVN_E_NETWORK;
  }
  FileDescription record;
  if (const auto result =
          prepareFileToSend(file, false, 2, std::int32_t(version.lastWrite), record)) {
    return reportPreparationFailure(result, file.path());
  }
  std::uint32_t described = describeFile(backup(), record);
  std::uint32_t result = deltaStep(version, record, described);
  if (result == kMissingSignature || result == kvn_rsync::kLoadSigError) {
    if (result != kMissingSignature) {
      KLOG_I("Downloading signature after loading error for file %s", qPrintable(file.path()));
    }
    if (const auto download = downloadSignature(record, described)) return download;
    result = deltaStep(version, record, described);
  }
  return result;
}

std::uint32_t FileBackup::deltaStep(const FileVersion& version, FileDescription& record,
                                    std::uint32_t described) {
  if (described == kAccepted) {
    const HeldSends held(backup().network());
    if (const auto result = sendDelta(record)) {
      if (result == kMissingSignature || result == kvn_rsync::kLoadSigError) return result;
      if (result != KVN_E_STOPPED)
        KLOG_E("Error generating/sending version delta: %d", int(result));
      return failTransfer(result, record, backup_type::kDeltaConfirm, "delta");
    }
    if (const auto result = sendSignature(record)) {
      if (result != KVN_E_STOPPED) KLOG_E("Error sending signature: %d", int(result));
      return failTransfer(result, record, backup_type::kDeltaConfirm, "sig");
    }
    if (const auto result = confirmVersion(backup_type::kDeltaConfirm)) {
      kvn_agent_database::deleteSignatureFile(record.newSignaturePath);
      backup().addError();
      return result;
    }
    recordNewVersion(version, record);
    return KVN_OK;
  }
  if (described == kAlreadyExists) {
    recordNewVersion(version, record);
    KLOG_W("file ALREADY_EXIST on server: %s -> local DB updated", qPrintable(record.path));
    return described;
  }
  if (described == kSyncConflict) {
    kvn_agent_database::deleteSignatureFile(record.newSignaturePath);
    records_->deleteFile(version.fileId);
    return described;
  }
  KLOG_W("Conflict or error! %d", int(described));
  kvn_agent_database::deleteSignatureFile(record.newSignaturePath);
  return described;
}

void FileBackup::recordNewVersion(const FileVersion& version, const FileDescription& record) {
  countLost(batch_->updateLastWrite(version.fileId, record.lastWrite));
  (*versions_)[record.path].lastWrite = record.lastWrite;
}

void FileBackup::countLost(std::size_t lostRecords) {
  for (std::size_t i = 0; i < lostRecords; ++i) backup().addError();
}
