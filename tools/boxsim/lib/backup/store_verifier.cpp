#include "boxsim/store_verifier.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <set>

#include "boxsim/backup_store.h"

namespace boxsim {

namespace {

bool sameContent(const QString& a, const QString& b) {
  QFile first(a);
  QFile second(b);
  if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly)) return false;
  if (first.size() != second.size()) return false;
  constexpr qint64 kBlock = 0x10000;
  while (!first.atEnd()) {
    const QByteArray x = first.read(kBlock);
    const QByteArray y = second.read(kBlock);
    if (x.isEmpty() || x != y) return false;
  }
  return second.atEnd();
}

}  // namespace

VerifyResult verify(const BackupStore& store, const QString& folder,
                    std::optional<std::int64_t> jobId) {
  VerifyResult result;
  const QString root = QDir::cleanPath(QDir(folder).absolutePath());
  const QString prefix = root.endsWith('/') ? root : root + "/";

  std::set<QString> stored;
  for (const StoredVersion& v : store.newestVersions(jobId)) {
    if (!v.path.startsWith(prefix)) continue;
    stored.insert(v.path);
    const QFileInfo disk(v.path);
    if (!disk.isFile()) {
      result.mismatches << "missing on disk: " + v.path;
      ++result.failed;
    } else if (!sameContent(v.contentPath, v.path)) {
      result.mismatches << QString("differs: %1 (box v%2 %3 bytes, disk %4 bytes)")
                               .arg(v.path)
                               .arg(v.number)
                               .arg(v.size)
                               .arg(disk.size());
      ++result.failed;
    } else {
      ++result.passed;
    }
  }

  QDirIterator files(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                     QDirIterator::Subdirectories);
  while (files.hasNext()) {
    const QString path = files.next();
    if (stored.count(path) == 0) {
      result.mismatches << "missing on box: " + path;
      ++result.failed;
    }
  }
  result.mismatches.sort();
  return result;
}

}  // namespace boxsim
