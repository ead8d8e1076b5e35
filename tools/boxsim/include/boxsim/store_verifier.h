// Checks a backup against the files it was taken from: the newest stored
// version of every file under a folder must equal the file on disk, and
// every regular file under the folder must be in the store.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace boxsim {

class BackupStore;

struct VerifyResult {
  int passed = 0;
  int failed = 0;
  // One line per failure, sorted: "differs: <path> (box v<n> <size> bytes,
  // disk <size> bytes)", "missing on disk: <path>" or "missing on box: <path>".
  QStringList mismatches;
};

// Compares the newest versions of the files of one job (or of all jobs)
// whose path lies under folder. Symbolic links on disk are not followed.
VerifyResult verify(const BackupStore& store, const QString& folder,
                    std::optional<std::int64_t> jobId = {});

}  // namespace boxsim
