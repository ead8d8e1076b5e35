// A file or folder known by its normal path (the one recorded and sent to
// the box) and read, when a snapshot exists, from the matching path inside
// the snapshot. Links are never followed: a symbolic link is seen as what
// it is.
#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>

#include "kvn_platform/filesystem.h"

namespace kvn_agent_filesystem {

// A file read live, at its normal path.
class KvnFileInfoBase {
 public:
  // path: absolute, with "/" separators.
  explicit KvnFileInfoBase(const QString& path);
  virtual ~KvnFileInfoBase() = default;

  virtual QString snapshotRoot() const { return {}; }
  virtual bool isDirectory() const;
  virtual std::int64_t size() const;
  virtual QDateTime lastModified() const;
  virtual bool exists() const;

  const QString& path() const { return path_; }
  QString fileName() const;
  // Regular files are the only files a backup reads; links, devices, pipes
  // and sockets are left alone.
  bool isRegularFile() const;
  bool isSymLink() const;

 protected:
  // For subclasses that read the status from another place.
  KvnFileInfoBase(const QString& path, std::optional<kvn_platform::FileStatus> status);

  QString path_;
  // Unknown when the file does not exist or cannot be read.
  std::optional<kvn_platform::FileStatus> status_;
};

// A file that may be read through a snapshot.
class KvnFileInfoWindows : public KvnFileInfoBase {
 public:
  // mountPoint: the mount point of the file system holding path (its volume
  // key, or a file system mounted inside a selected tree); the part of path
  // after it is what lies below snapshotRoot. An empty snapshotRoot reads
  // the file live. An empty mountPoint is looked up in the mount table.
  KvnFileInfoWindows(const QString& path, const QString& snapshotRoot,
                     const QDateTime& snapshotTime, const QString& mountPoint);
  // From a listing record, without reading the file again.
  KvnFileInfoWindows(const kvn_platform::FileStatus& status, const QString& path,
                     const QString& snapshotRoot, const QDateTime& snapshotTime,
                     const QString& mountPoint);

  QString snapshotRoot() const override { return snapshotRoot_; }
  // Read through a snapshot a file without a time of its own gets the
  // snapshot's time ("Using vss date for %s"); without either, throws
  // KvnCommonException (KVN_E_EXCEPTION) "Invalid timestamp for file in vss: %s".
  QDateTime lastModified() const override;

  // A symbolic link, or a folder on which a file system is mounted.
  bool isReparsePoint() const;
  // Where the link or mount point leads (see kvn_platform::reparseTarget).
  bool reparseTarget(QString& target) const;
  // The file's modification time read again from the read path, in seconds
  // since 1970 (UTC); lastModified() when it cannot be read.
  std::int64_t lastWriteFromFile() const;
  // The same, with the status it was taken from, which is nothing when
  // the file could not be read (or tells no modification time).
  std::int64_t lastWriteFromFile(std::optional<kvn_platform::FileStatus>& read) const;

  const QString& readPath() const { return readPath_; }
  const QString& mountPoint() const { return mountPoint_; }
  const QDateTime& snapshotTime() const { return snapshotTime_; }

 private:
  QString snapshotRoot_;
  QDateTime snapshotTime_;
  QString mountPoint_;
  QString readPath_;
};

// What the backup uses.
class KVNFileInfo : public KvnFileInfoWindows {
 public:
  using KvnFileInfoWindows::KvnFileInfoWindows;
};

// The path below snapshotRoot that shows path, mountPoint being the mount
// point of the file system that holds it.
QString snapshotReadPath(const QString& path, const QString& snapshotRoot,
                         const QString& mountPoint);

}  // namespace kvn_agent_filesystem
