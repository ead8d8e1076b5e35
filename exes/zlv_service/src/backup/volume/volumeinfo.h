// What a system image run knows about one selected volume, and what one
// attempt at sending it needs.
#pragma once

#include <QString>
#include <cstdint>

#include "kvn_snapshot/volume_list.h"

struct VolumeInfo {
  std::uint64_t totalSize = 0;
  std::uint64_t usedSize = 0;
  bool hasPrevious = false;
  std::int32_t previousVersion = 0;
  std::int64_t fileId = 0;
  QString displayName;
  // Read directly, without a snapshot (EFI).
  QString rawPath;
  // The live device, for the volume's size and disk extent.
  QString devicePath;
  QString diskName;
  QString diskSerial;
  std::uint64_t diskSize = 0;
  QString fsName;
  bool isBoot = false;
};

// "<mount name> <label>", or whichever of them is not empty.
QString volumeDisplayName(const kvn_snapshot::VolumeRecord& volume);

// One attempt at one volume.
struct VolumeTransfer {
  QString volumePath;  // the selection entry: the volume's identity
  QString devicePath;
  QString snapshotPath;  // what is read: the frozen copy, or rawPath
  std::int64_t backupTime = 0;
  std::uint64_t originalSize = 0;
  // Final names in the signature folder; the new one is written beside
  // itself (partPath) until the box has confirmed the image.
  QString newHashmapPath;
  QString previousHashmapPath;  // empty for a full image
  bool compress = false;
  bool encrypt = false;
  QString fsName;
  bool isBoot = false;

  QString partPath() const { return newHashmapPath + QStringLiteral(".part"); }
  // The new hashmap's block fingerprints until the image is confirmed.
  QString fingerprintsPartPath() const;
};
