#include "filesystem/dir.h"

#include <cstring>

#include "kvn_log/log.h"
#include "kvn_platform/text_path_qt.h"

namespace kvn_agent_filesystem {

KvnDirWindows::KvnDirWindows(const QString& path, const QString& snapshotRoot,
                             const QDateTime& snapshotTime, const QString& mountPoint)
    : KvnDirBase(path),
      snapshotRoot_(snapshotRoot),
      snapshotTime_(snapshotTime),
      mountPoint_(mountPoint),
      searchPath_(snapshotRoot.isEmpty() ? path
                                         : snapshotReadPath(path, snapshotRoot, mountPoint)) {}

void KvnDirWindows::setNameFilters(const QStringList& filters) {
  nameFilters_.clear();
  for (const auto& filter : filters) nameFilters_.emplace_back(filter);
}

bool KvnDirWindows::nameAccepted(const QString& name) const {
  if (nameFilters_.empty()) return true;
  for (const auto& filter : nameFilters_) {
    if (filter.matches(name)) return true;
  }
  return false;
}

FileInfoList KvnDirWindows::list() const {
  FileInfoList result;
  std::vector<kvn_platform::DirectoryEntry> entries;
  int error = 0;
  if (!kvn_platform::listDirectory(kvn_platform::toNativePath(searchPath_), entries, &error)) {
    KLOG_W("cannot list folder '%s': %s", qPrintable(searchPath_), std::strerror(error));
    return result;
  }
  const QString prefix = path_.endsWith(u'/') ? path_ : path_ + u'/';
  result.reserve(entries.size());
  for (const auto& entry : entries) {
    const QString name = kvn_platform::toTextPath(entry.name);
    if (entry.error != 0) {
      KLOG_W("cannot read the status of '%s%s': %s", qPrintable(prefix), qPrintable(name),
             std::strerror(entry.error));
      continue;
    }
    const auto kind = entry.status.kind;
    if (kind != kvn_platform::FileKind::Regular && kind != kvn_platform::FileKind::Directory) {
      continue;
    }
    if (kind == kvn_platform::FileKind::Directory &&
        (entry.status.attributes & kvn_platform::kAttributeReparsePoint)) {
      if (!snapshotRoot_.isEmpty()) continue;
      KLOG_D("junction");
    }
    if (!nameAccepted(name)) continue;
    result.push_back(std::make_unique<KVNFileInfo>(entry.status, prefix + name, snapshotRoot_,
                                                   snapshotTime_, mountPoint_));
  }
  return result;
}

}  // namespace kvn_agent_filesystem
