// The exchanges of one backup attempt that file and volume transfers
// share: the INFO action, the file description and its answer, and the
// download of a signature the agent lost.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "kvn_platform/filesystem.h"

class Backup;

// The description kind of a volume image.
inline constexpr std::uint8_t kVolumeKind = 16;

// What the agent tells the box about one attempt at one file.
struct FileDescription {
  QString path;  // native
  QString readPath;
  QString newSignaturePath;
  QString previousSignaturePath;  // empty for a new file
  std::int64_t size = 0;
  std::int64_t reserved = 0;
  QByteArray digest;
  std::int16_t maxVersions = 0;
  std::int32_t lastWrite = 0;
  // The status lastWrite was read from; nothing when the file could not
  // be read and lastWrite is the listing's.
  std::optional<kvn_platform::FileStatus> status;
  bool isNewFile = true;
  bool boxPaired = false;
  std::int32_t versionNumber = 1;
  std::int32_t previousLastWrite = 0;
  std::uint8_t kind = 0;
  // The previous signature was just downloaded: it is the box's own basis,
  // whatever last write the box names.
  bool basisFromBox = false;
  // Kind kVolumeKind only: three texts and two numbers about the volume.
  QStringList volumeTexts;
  std::int64_t volumeNumbers[2] = {0, 0};
};

// The INFO action for path and the box's acknowledgement: 0,
// KVN_E_NETWORK or the packet's failure code.
std::uint32_t sendFileInfo(Backup& run, const QString& path, std::int64_t size, std::int64_t jobId,
                           const QString& name = {});
// Its two halves, for an INFO that leaves before the answers it follows
// are read: the request (0, KVN_E_NETWORK or the packet's failure code)
// and the reading of the acknowledgement (0 or KVN_E_NETWORK).
std::uint32_t sendFileInfoRequest(Backup& run, const QString& path, std::int64_t size,
                                  std::int64_t jobId, const QString& name = {});
std::uint32_t readFileInfoAnswer(Backup& run);

// Sends the description and reads the answer: 1 (send), 2 (already on the
// box), a conflict (3 to 11), or a failure code. A known file's previous
// signature is removed when its size differs from the box's, or when the
// box holds another version than the one recorded (a run cut off after the
// box stored a version and before the agent recorded it): a delta is
// applied to the box's newest version, so it must be made against that
// version's signature, which is then downloaded.
std::uint32_t describeFile(Backup& run, FileDescription& record);

// Asks the box for the newest signature of path and writes it to target:
// 0 or KVN_E_NETWORK.
std::uint32_t fetchSignature(Backup& run, const QString& path, const QString& target);
