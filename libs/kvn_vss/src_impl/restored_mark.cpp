#include "restored_mark.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "kvn_formats/settings_mark.h"
#include "kvn_log/log.h"
#include "kvn_platform/appdata.h"

namespace kvn_vss {

namespace {

// The data root as seen inside the snapshot, or empty when it lies on
// another volume.
QString dataRootIn(const QString& volume, const QString& root) {
  const QString inside = dataRootInsideVolume(volume);
  return inside.isEmpty() ? QString() : QDir::cleanPath(root + inside);
}

void markSettings(const QString& path) {
  QFile file(path);
  if (!file.exists()) {
    KLOG_I("No zlv.ini in at %s", qPrintable(path));
    return;
  }
  if (!file.open(QIODevice::ReadOnly)) {
    KLOG_E("Read error in %s", qPrintable(path));
    return;
  }
  const QByteArray after = markedSettings(path, file.readAll());
  file.close();
  QSaveFile out(path);
  if (!out.open(QIODevice::WriteOnly) || out.write(after) < 0 || !out.commit()) {
    KLOG_E("Write error in %s", qPrintable(path));
  }
}

}  // namespace

QByteArray markedSettings(const QString& where, const QByteArray& text) {
  const QString before = QString::fromUtf8(text);
  const QString after = kvn_formats::markRestoredSettings(before);
  KLOG_D("%s before:\n%s", qPrintable(where), qPrintable(before));
  KLOG_D("%s after:\n%s", qPrintable(where), qPrintable(after));
  return after.toUtf8();
}

QString dataRootInsideVolume(const QString& volume) {
  const auto common = kvn_platform::commonAppDataFolder();
  if (!common) return {};
  const QString data = QDir::cleanPath(QString::fromStdString(*common));
  const QString mount = QDir::cleanPath(volume);
  if (mount == "/") return data;
  if (data != mount && !data.startsWith(mount + u'/')) return {};
  const QString rest = data.mid(mount.size());
  return rest.isEmpty() ? QStringLiteral("/") : rest;
}

void markRestoredSystem(const QString& volume, const QString& root) {
  KLOG_I("Korvane writer in %s", qPrintable(root));
  for (const char* name : kRestoredSwapFiles) QFile::remove(root + u'/' + QLatin1String(name));
  const QString data = dataRootIn(volume, root);
  if (!data.isEmpty()) markSettings(data + QLatin1String(kSettingsBelowDataRoot));
}

bool isDeviceVolume(const QString& volume) {
  const QFileInfo info(volume);
  return info.exists() && !info.isDir();
}

}  // namespace kvn_vss
