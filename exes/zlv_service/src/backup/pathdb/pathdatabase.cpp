#include "backup/pathdb/pathdatabase.h"

#include <QDir>

#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"

void PathDatabase::add(const PathEntry& entry) {
  if (index_.contains(entry.id)) return;
  index_.insert(entry.id, entries_.size());
  entries_.push_back(entry);
}

bool PathDatabase::load() {
  std::vector<kvn_platform::DirectoryRecord> records;
  if (!kvn_platform::loadVolumeDirectories(kvn_platform::toNativePath(mountPath_), records)) {
    return false;
  }
  for (const auto& record : records) {
    add({record.id, record.parent, record.attributes, kvn_platform::toTextPath(record.name)});
  }
  return true;
}

bool PathDatabase::fullPath(const PathEntry& entry, QString& path) const {
  path.clear();
  std::int64_t id = entry.id;
  // Bounded by the number of entries, so that a corrupt parent chain that
  // loops cannot hang the backup.
  for (std::size_t steps = 0; steps <= entries_.size(); ++steps) {
    const auto found = index_.constFind(id);
    if (found == index_.cend()) return false;
    const PathEntry& current = entries_[*found];
    path = path.isEmpty() ? current.name : current.name + QDir::separator() + path;
    if (current.parent == 0) return true;
    id = current.parent;
  }
  return false;
}

void PathDatabase::reparseList(QStringList& paths) const {
  for (const auto& entry : entries_) {
    if (!(entry.attributes & kvn_platform::kAttributeReparsePoint)) continue;
    QString path;
    if (fullPath(entry, path)) paths.append(path);
  }
}
