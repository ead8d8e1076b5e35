// The transfer of a system image run: the snapshot set of the selected
// volumes, and for each volume the attempts (conflicts retried), the full
// or delta image with its hashmap, the confirmation and the volume's record.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <cstdint>
#include <memory>

#include "backup/job.h"
#include "backup/volume/volumeinfo.h"

namespace kvn_vss {
class ShadowCopySet;
}
class SysImgJob;

class VolumeBackup : public BackupOperation {
 public:
  // Codes of a volume's error report.
  static constexpr std::uint32_t kImageFailed = 0xE0000043;
  static constexpr std::uint32_t kOffline = 0xE0000044;
  static constexpr std::uint32_t kNoSnapshot = 0xE0000045;
  static constexpr std::uint32_t kVolumeReport = 0xA0000;

  VolumeBackup(Backup& backup, SysImgJob& job);
  ~VolumeBackup() override;

  // The snapshot set of the selected volumes' devices: 0 or 0xFFFFFFFF
  // ("Backup VSS error").
  std::uint32_t prepare(Job& job) override;
  void begin(Job& job, QSqlDatabase& db) override;
  void end() override;
  void finish() override;

  // Up to five attempts at one volume: 0 or the failure.
  std::uint32_t backupVolume(const QString& entry, VolumeInfo& info);
  // Counts the error, marks the run and sends "$<code>: <path>".
  void reportVolumeError(std::uint32_t code, const QString& path);

 private:
  std::uint32_t attempt(const QString& entry, VolumeInfo& info, const QString& readPath,
                        std::int64_t backupTime);
  std::uint32_t buildTransfer(const QString& entry, const VolumeInfo& info, const QString& readPath,
                              std::int64_t backupTime, VolumeTransfer& transfer);
  std::uint32_t sendVolume(VolumeInfo& info, VolumeTransfer& transfer);
  // Runs a sender over a new file transfer of dataKind; 0 or the failure,
  // with the messages of the image kind ("full" or "delta").
  std::uint32_t sendImage(const VolumeTransfer& transfer, std::uint32_t dataKind, const char* kind);
  std::uint32_t fullImage(VolumeInfo& info, const VolumeTransfer& transfer);
  std::uint32_t deltaImage(VolumeInfo& info, VolumeTransfer& transfer);
  std::uint32_t sendHashmap(const VolumeTransfer& transfer);
  // Confirmation and the box's result, then the hashmap is put in place.
  std::uint32_t confirm(const VolumeTransfer& transfer, std::uint32_t packetType);
  // Reports a failed image on packetType ("<path> (<what>)"): the failure,
  // or KVN_E_NETWORK when the report could not be sent.
  std::uint32_t failImage(std::uint32_t result, const VolumeTransfer& transfer,
                          std::uint32_t packetType, const char* what);
  // Whether the previous hashmap can be the parent of this image.
  bool previousUsable(const VolumeTransfer& transfer) const;
  void discardNewHashmap(const VolumeTransfer& transfer) const;

  SysImgJob& job_;
  QSqlDatabase* db_ = nullptr;
  std::unique_ptr<kvn_vss::ShadowCopySet> snapshot_;
};
