// A restored file is received into a temporary file next to its
// destination and renamed over the destination only once it is whole and
// has its time; when it replaces a file, it is flushed to disk first. A transfer that breaks off, a
// stop or a full disk leave what was there untouched. Below a target folder no symbolic link is
// followed, and a link at the destination is replaced, not written through.
#pragma once

#include <QFile>
#include <QString>
#include <cstdint>
#include <memory>

#include "fileops/restoreplacement.h"
#include "filesystem/restorestaging.h"

class StagedFile {
 public:
  // Why a staged file could not be made or committed: the file error that
  // names the cause, and the text for the log.
  struct Failure {
    QFileDevice::FileError error = QFileDevice::OpenError;
    QString text;
    // The path itself was refused (a link or a file in the way), not the
    // file system.
    bool refused = false;
  };

  // Creates the missing folders and the temporary file; nullptr with
  // failure set when that cannot be done.
  static std::unique_ptr<StagedFile> open(const RestorePlacement& placement, Failure* failure);
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Open for writing.
  QFile& file() { return file_; }
  // Sets the last write (seconds, nanoseconds zero), flushes to disk when
  // a file is already there, and renames over the destination. False with
  // failure set.
  bool commit(std::int32_t lastWrite, Failure* failure);

  // The temporary files' names start with this.
  static constexpr const char* kPrefix = kvn_agent_filesystem::kRestoreStagingPrefix;

 private:
  StagedFile(int folder, QString temporary, QString leaf);

  int folder_;
  int fd_ = -1;
  QString temporary_;
  QString leaf_;
  QFile file_;
  bool committed_ = false;
};
