#include "mount_table.h"

#include <QFile>
#include <QFileInfo>

namespace kvn_snapshot {

namespace {

// Mount points escape space, tab, line feed and backslash as \ooo.
QString unescape(const QString& field) {
  QString out;
  for (qsizetype i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      bool ok = false;
      const int code = field.mid(i + 1, 3).toInt(&ok, 8);
      if (ok) {
        out += QChar(code);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

std::vector<Mount> parseMountInfo(const QString& text) {
  std::vector<Mount> mounts;
  for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
    const QStringList fields = line.split(' ');
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const qsizetype dash = fields.indexOf("-", 6);
    if (fields.size() < 7 || dash < 0 || dash + 2 >= fields.size()) continue;
    mounts.push_back(Mount{fields[2], unescape(fields[3]), unescape(fields[4]), fields[dash + 1],
                           unescape(fields[dash + 2])});
  }
  return mounts;
}

std::vector<Mount> readMountInfo() {
  QFile file("/proc/self/mountinfo");
  if (!file.open(QIODevice::ReadOnly)) return {};
  return parseMountInfo(QString::fromUtf8(file.readAll()));
}

QString mountPointOf(const std::vector<Mount>& mounts, const QString& device,
                     const QString& devicePath) {
  QString best;
  for (const Mount& m : mounts) {
    if (m.root != "/") continue;  // a bind mount of a sub-folder
    // btrfs shows an anonymous device number, so the source counts too.
    const bool same = m.device == device || (m.source.startsWith('/') &&
                                             QFileInfo(m.source).canonicalFilePath() == devicePath);
    if (same && (best.isEmpty() || m.mountPoint.size() < best.size())) best = m.mountPoint;
  }
  return best;
}

}  // namespace kvn_snapshot
