#include "sysfs.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kvn_snapshot::sysfs {

QString deviceFolder(const QString& path) {
  struct stat st {};
  if (::stat(path.toLocal8Bit().constData(), &st) != 0 || !S_ISBLK(st.st_mode)) return {};
  const QString link =
      QStringLiteral("/sys/dev/block/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
  return QFileInfo(link).canonicalFilePath();
}

QString text(const QString& folder, const QString& attribute) {
  QFile file(folder + '/' + attribute);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).trimmed();
}

bool number(const QString& folder, const QString& attribute, std::uint64_t* value) {
  bool ok = false;
  const qulonglong parsed = text(folder, attribute).toULongLong(&ok);
  if (ok) *value = parsed;
  return ok;
}

bool isPartition(const QString& folder) { return QFile::exists(folder + "/partition"); }

QString diskFolder(const QString& folder) {
  if (!isPartition(folder)) return folder;
  return QFileInfo(folder).dir().path();
}

}  // namespace kvn_snapshot::sysfs
