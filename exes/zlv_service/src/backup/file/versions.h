// The versions of a job's files already on the box, keyed by native path,
// so that the finder's unchanged test is one lookup per file.
#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <cstdint>

struct FileVersion {
  // Seconds since 1970 as stored; 0 when no complete version is on the box.
  std::int64_t lastWrite = 0;
  std::int64_t fileId = 0;
  bool hasLastWrite() const { return lastWrite != 0; }
};

using FileVersions = QHash<QString, FileVersion>;

// Replaces versions with the job's records: 0 or KVN_E_FAILED.
std::uint32_t loadVersions(QSqlDatabase& db, std::int64_t jobId, FileVersions& versions);
