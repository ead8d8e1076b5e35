#include "backup/file/filefinder.h"

#include <exception>

#include "filesystem/dir.h"
#include "filesystem/restorestaging.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"

using kvn_agent_filesystem::KvnDirWindows;
using kvn_agent_filesystem::KVNFileInfo;
using kvn_agent_filesystem::WildcardPattern;

namespace {

bool isAtOrBelow(const QString& path, const QString& folder) {
  return folder == u'/' || path == folder ||
         (path.startsWith(folder) && path.at(folder.size()) == u'/');
}

}  // namespace

bool isCircularLink(const KVNFileInfo& info) {
  QString target;
  if (!info.isReparsePoint() || !info.reparseTarget(target)) return false;
  // A file system of its own cannot lead back into this one.
  if (target.startsWith(QLatin1String(kvn_platform::kVolumeTargetPrefix))) return false;
  return isAtOrBelow(info.path(), target);
}

FileFinder::FileFinder(const QString& signaturesPath, const QStringList& exclusionPatterns,
                       const FileVersions& versions, const SnapshotContext& context)
    : signaturesPath_(kvn_platform::textPathFromQt(signaturesPath)),
      versions_(versions),
      context_(context) {
  while (signaturesPath_.size() > 1 && signaturesPath_.endsWith(u'/')) signaturesPath_.chop(1);
  patterns_.reserve(std::size_t(exclusionPatterns.size()));
  for (const auto& pattern : exclusionPatterns) patterns_.emplace_back(pattern);
}

bool FileFinder::stopped() const {
  if (!context_.stopRequested()) return false;
  KLOG_W("Execution stopped by the user.");
  return true;
}

std::uint32_t FileFinder::run(const Selection& selection) {
  entries_.clear();
  counters_ = {};
  try {
    for (auto volume = selection.cbegin(); volume != selection.cend(); ++volume) {
      for (const auto& path : volume.value()) {
        if (!walkSelected(path, volume.key())) return KVN_E_STOPPED;
      }
    }
  } catch (const std::exception& e) {
    KLOG_E("Error getting file list: %s", e.what());
    return KVN_E_EXCEPTION;
  }
  return KVN_OK;
}

bool FileFinder::walkSelected(const QString& path, const QString& volumeKey) {
  if (stopped()) return false;
  if (inSignatureFolder(path)) return true;
  const auto* mount = context_.mountPointFor(path);
  const KVNFileInfo info(path, mount ? mount->second : context_.snapshotRootOf(volumeKey),
                         context_.snapshotTime(), mount ? mount->first : volumeKey);
  if (!info.exists()) {
    KLOG_E("%s doesn't exist", qPrintable(path));
    return true;
  }
  if (info.isSymLink()) {
    KLOG_W("%s is a symbolic link: not followed", qPrintable(path));
    return true;
  }
  if (!info.isDirectory()) {
    if (info.isRegularFile()) {
      consider(info, nullptr, QString());
    } else {
      KLOG_W("%s is not a regular file: skipped", qPrintable(path));
    }
    return true;
  }
  if (isCircularLink(info)) {
    KLOG_W("Circular link detected. Skipping %s", qPrintable(path));
    return true;
  }
  // A pattern that names the selected folder itself never excludes it (a
  // folder pattern "<folder>/*" names it with the "/" that folders are
  // tested with).
  Patterns kept;
  for (const auto& pattern : patterns_) {
    if (!pattern.matches(path) && !pattern.matches(path + u'/')) kept.push_back(&pattern);
  }
  const auto root = std::make_shared<RootEntry>(path, info.snapshotRoot(), info.mountPoint());
  return walk(root, info, kept);
}

bool FileFinder::walk(const std::shared_ptr<const FinderEntry>& entry, const KVNFileInfo& dir,
                      const Patterns& patterns) {
  if (stopped()) return false;
  const KvnDirWindows listing(dir.path(), dir.snapshotRoot(), dir.snapshotTime(), dir.mountPoint());
  for (const auto& item : listing.list()) {
    if (item->isDirectory()) {
      const QString folder = item->path() + u'/';
      if (inSignatureFolder(folder)) continue;
      if (isCircularLink(*item)) {
        KLOG_W("Circular link detected. Skipping %s", qPrintable(item->path()));
        continue;
      }
      if (const auto* pattern = excludedBy(folder, patterns)) {
        KLOG_T("%s excluded: \"%s\" matches \"%s\"", "folder", qPrintable(folder),
               qPrintable(pattern->pattern()));
        continue;
      }
      const auto child = std::make_shared<FSEntry>(entry, item->fileName());
      if (!walk(child, *item, patterns)) return false;
    } else {
      // A restoration's file being put together (or left by a killed one)
      // is not the user's.
      if (item->fileName().startsWith(QLatin1String(kvn_agent_filesystem::kRestoreStagingPrefix))) {
        KLOG_D("%s is a restoration's temporary file: skipped", qPrintable(item->path()));
        continue;
      }
      if (const auto* pattern = excludedBy(item->path(), patterns)) {
        KLOG_T("%s excluded: \"%s\" matches \"%s\"", "file", qPrintable(item->path()),
               qPrintable(pattern->pattern()));
        continue;
      }
      consider(*item, entry, item->fileName());
    }
  }
  return true;
}

void FileFinder::consider(const KVNFileInfo& file, const std::shared_ptr<const FinderEntry>& parent,
                          const QString& name) {
  ++counters_.totalFiles;
  if (isUnchanged(file)) return;
  ++counters_.filesToBackup;
  counters_.bytesToBackup += file.size();
  if (parent) {
    entries_.push_back(std::make_shared<FSEntry>(parent, name));
  } else {
    entries_.push_back(
        std::make_shared<FileRecordEntry>(file.path(), file.snapshotRoot(), file.mountPoint()));
  }
}

bool FileFinder::isUnchanged(const KVNFileInfo& file) const {
  const auto version = versions_.constFind(file.path());
  if (version == versions_.cend() || !version->hasLastWrite()) return false;
  return version->lastWrite == file.lastModified().toSecsSinceEpoch() ||
         version->lastWrite == file.lastWriteFromFile();
}

bool FileFinder::inSignatureFolder(const QString& path) const {
  return !signaturesPath_.isEmpty() && isAtOrBelow(path, signaturesPath_);
}

const WildcardPattern* FileFinder::excludedBy(const QString& path, const Patterns& patterns) const {
  for (const auto* pattern : patterns) {
    if (pattern->matches(path)) return pattern;
  }
  return nullptr;
}
