// The files a file backup must send, as the finder lists them. Entries
// below a selected folder share their parents, so a deep tree of many files
// stores each folder name once.
#pragma once

#include <QDir>
#include <QString>
#include <list>
#include <memory>

// Something the finder listed: a selected folder, a file or folder below
// one, or a selected file.
class FinderEntry {
 public:
  virtual ~FinderEntry() = default;
  virtual QString path() const = 0;
  virtual const QString& snapshotRoot() const = 0;
  // The mount point the path is relative to inside the snapshot.
  virtual const QString& mountPoint() const = 0;
};

// A selected folder and where it is read from.
class RootEntry : public FinderEntry {
 public:
  RootEntry(const QString& path, const QString& snapshotRoot, const QString& mountPoint)
      : path_(path), snapshotRoot_(snapshotRoot), mountPoint_(mountPoint) {}
  QString path() const override { return path_; }
  const QString& snapshotRoot() const override { return snapshotRoot_; }
  const QString& mountPoint() const override { return mountPoint_; }

 private:
  QString path_;
  QString snapshotRoot_;
  QString mountPoint_;
};

// A file or folder below a selected folder.
class FSEntry : public FinderEntry {
 public:
  FSEntry(std::shared_ptr<const FinderEntry> parent, const QString& name)
      : parent_(std::move(parent)), name_(name) {}
  QString path() const override { return QDir::cleanPath(parent_->path() + u'/' + name_); }
  const QString& snapshotRoot() const override { return parent_->snapshotRoot(); }
  const QString& mountPoint() const override { return parent_->mountPoint(); }

 private:
  std::shared_ptr<const FinderEntry> parent_;
  QString name_;
};

// A selected path that is itself a file.
using FileRecordEntry = RootEntry;

using FinderEntryList = std::list<std::shared_ptr<const FinderEntry>>;
