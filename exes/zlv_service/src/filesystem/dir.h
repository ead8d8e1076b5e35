// Folder listings for the backup: regular files and folders only (links,
// devices, pipes and sockets are never listed), read through the snapshot
// when there is one.
#pragma once

#include <QDateTime>
#include <QString>
#include <memory>
#include <vector>

#include "filesystem/fileinfo.h"
#include "filesystem/wildcard.h"

namespace kvn_agent_filesystem {

using FileInfoList = std::vector<std::unique_ptr<KVNFileInfo>>;

class KvnDirBase {
 public:
  explicit KvnDirBase(const QString& path) : path_(path) {}
  virtual ~KvnDirBase() = default;

  // The folder's entries, in name order; an unreadable folder is logged and
  // gives an empty list.
  virtual FileInfoList list() const = 0;

  const QString& path() const { return path_; }

 protected:
  QString path_;
};

class KvnDirWindows : public KvnDirBase {
 public:
  // The arguments mean what they mean for KvnFileInfoWindows.
  KvnDirWindows(const QString& path, const QString& snapshotRoot, const QDateTime& snapshotTime,
                const QString& mountPoint);

  // Keeps only names that match one of the patterns (case-insensitive).
  void setNameFilters(const QStringList& filters);

  // Read through a snapshot, folders on which a file system is mounted are
  // left out (the snapshot of their own volume shows them); read live they
  // are listed like any other folder.
  FileInfoList list() const override;

  const QString& snapshotRoot() const { return snapshotRoot_; }

 private:
  bool nameAccepted(const QString& name) const;

  QString snapshotRoot_;
  QDateTime snapshotTime_;
  QString mountPoint_;
  // The folder actually read: inside the snapshot, or the folder itself.
  QString searchPath_;
  std::vector<WildcardPattern> nameFilters_;
};

}  // namespace kvn_agent_filesystem
