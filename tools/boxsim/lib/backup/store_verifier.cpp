#include "boxsim/store_verifier.h"

#include <QDir>
#include <QFile>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "boxsim/backup_store.h"
#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"

namespace boxsim {

namespace {

// Both files opened by their native bytes.
bool sameContent(const std::string& a, const std::string& b) {
  std::ifstream first(a, std::ios::binary);
  std::ifstream second(b, std::ios::binary);
  if (!first || !second) return false;
  constexpr std::size_t kBlock = 0x10000;
  std::vector<char> x(kBlock), y(kBlock);
  while (first && second) {
    first.read(x.data(), std::streamsize(kBlock));
    second.read(y.data(), std::streamsize(kBlock));
    if (first.gcount() != second.gcount() ||
        std::memcmp(x.data(), y.data(), std::size_t(first.gcount())) != 0) {
      return false;
    }
  }
  return first.eof() && second.eof();
}

// Every regular file below folder (native), by text path; links are not
// followed.
void regularFilesBelow(const std::string& folder, std::set<QString>& files) {
  std::vector<kvn_platform::DirectoryEntry> entries;
  if (!kvn_platform::listDirectory(folder, entries, nullptr)) return;
  for (const auto& entry : entries) {
    const std::string path = folder == "/" ? "/" + entry.name : folder + "/" + entry.name;
    if (entry.status.kind == kvn_platform::FileKind::Regular) {
      files.insert(kvn_platform::toTextPath(path));
    } else if (entry.status.kind == kvn_platform::FileKind::Directory) {
      regularFilesBelow(path, files);
    }
  }
}

}  // namespace

VerifyResult verify(const BackupStore& store, const QString& folder,
                    std::optional<std::int64_t> jobId) {
  VerifyResult result;
  // Stored paths are the agent's text paths; the folder is named as Qt
  // names files.
  const QString root = kvn_platform::textPathFromQt(QDir::cleanPath(QDir(folder).absolutePath()));
  const QString prefix = root.endsWith('/') ? root : root + "/";

  std::set<QString> stored;
  for (const StoredVersion& v : store.newestVersions(jobId)) {
    if (!v.path.startsWith(prefix)) continue;
    stored.insert(v.path);
    const std::string native = kvn_platform::toNativePath(v.path);
    kvn_platform::FileStatus disk;
    if (!kvn_platform::fileStatus(native, disk, nullptr) ||
        disk.kind != kvn_platform::FileKind::Regular) {
      result.mismatches << "missing on disk: " + v.path;
      ++result.failed;
    } else if (!sameContent(QFile::encodeName(v.contentPath).toStdString(), native)) {
      result.mismatches << QString("differs: %1 (box v%2 %3 bytes, disk %4 bytes)")
                               .arg(v.path)
                               .arg(v.number)
                               .arg(v.size)
                               .arg(disk.size);
      ++result.failed;
    } else {
      ++result.passed;
    }
  }

  std::set<QString> onDisk;
  regularFilesBelow(kvn_platform::toNativePath(root), onDisk);
  for (const QString& path : onDisk) {
    if (stored.count(path) == 0) {
      result.mismatches << "missing on box: " + path;
      ++result.failed;
    }
  }
  result.mismatches.sort();
  return result;
}

}  // namespace boxsim
