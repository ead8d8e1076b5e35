// The folders of one volume that carry other file systems (mount points),
// found once per backup before the snapshot is made, so that volumes
// mounted inside a selected tree are snapshotted too.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

struct PathEntry {
  std::int64_t id = 0;
  // 0 for the volume root.
  std::int64_t parent = 0;
  std::uint32_t attributes = 0;
  QString name;
};

class PathDatabase {
 public:
  // mountPath: the volume's mount point ("/", "/mnt/data").
  explicit PathDatabase(const QString& mountPath) : mountPath_(mountPath) {}

  // Reads the volume's folders from the platform; false (logged) when the
  // volume cannot be read.
  bool load();

  // The entry's path, built by walking its parents; false when a parent is
  // unknown (path then holds what could be built).
  bool fullPath(const PathEntry& entry, QString& path) const;

  // Appends the full path of every mount point of the volume.
  void reparseList(QStringList& paths) const;

  const std::vector<PathEntry>& entries() const { return entries_; }
  const QString& mountPath() const { return mountPath_; }

  // The first entry with a given id wins.
  void add(const PathEntry& entry);

 private:
  QString mountPath_;
  std::vector<PathEntry> entries_;
  QHash<std::int64_t, std::size_t> index_;
};
