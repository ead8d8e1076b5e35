#include "copy_snapshot_maker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "device_copy.h"
#include "ext_image_mark.h"
#include "kvn_log/log.h"
#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"
#include "os_error.h"
#include "restored_mark.h"
#include "tree_copy.h"

namespace kvn_vss {

namespace {

constexpr auto kLongestHold = std::chrono::minutes(2);

std::filesystem::path nativePath(const QString& path) {
  return std::filesystem::path(kvn_platform::toNativePath(path));
}

QString freshTemporaryFolder() {
  QByteArray pattern = QFile::encodeName(QDir::tempPath() + "/kvn_vss_test-XXXXXX");
  return ::mkdtemp(pattern.data()) ? QFile::decodeName(pattern) : QString();
}

}  // namespace

bool CopySnapshotMaker::start(const QUuid& setId, QString* reason) {
  const QString failing = qEnvironmentVariable("KVN_TEST_SNAPSHOT_FAIL");
  refused_ = failing.split(u':', Qt::SkipEmptyParts);
  readyFile_ = qEnvironmentVariable("KVN_TEST_SNAPSHOT_READY_FILE");
  hold_ = qEnvironmentVariableIsSet("KVN_TEST_SNAPSHOT_HOLD");
  copies_ = 0;

  QString base = qEnvironmentVariable("KVN_TEST_SNAPSHOT_DIR");
  const bool fresh = base.isEmpty();
  if (fresh) base = freshTemporaryFolder();
  setFolder_ = base + u'/' + setId.toString(QUuid::WithoutBraces);
  if (base.isEmpty() || !QDir().mkpath(setFolder_)) {
    *reason = QString("cannot create the snapshot folder under %1")
                  .arg(base.isEmpty() ? QDir::tempPath() : base);
    if (fresh && !base.isEmpty()) QDir(base).removeRecursively();
    return false;
  }
  ownedFolder_ = fresh ? base : setFolder_;
  return true;
}

bool CopySnapshotMaker::add(const QString& volume, QString* reason) {
  if (refused_.contains(volume)) {
    *reason = QString("%1 refused by KVN_TEST_SNAPSHOT_FAIL").arg(volume);
    return false;
  }
  if (!kvn_platform::isFolder(kvn_platform::toNativePath(volume)) && !isDeviceVolume(volume)) {
    *reason = QString("%1 is neither a folder nor a device or image file").arg(volume);
    return false;
  }
  return true;
}

QString CopySnapshotMaker::take(const QString& volume, QString* reason) {
  const QString root = setFolder_ + u'/' + QString::number(copies_++);
  if (isDeviceVolume(volume)) {
    if (copyDevice(volume, root, reason)) {
      markRestoredExtImage(root);
      return root;
    }
    QFile::remove(root);
    return {};
  }
  if (!copyTree(nativePath(volume), nativePath(root), nativePath(setFolder_), reason)) {
    std::error_code ignored;
    std::filesystem::remove_all(nativePath(root), ignored);
    return {};
  }
  markRestoredSystem(volume, root);
  return root;
}

void CopySnapshotMaker::taken(const QHash<QString, QString>& roots) {
  if (readyFile_.isEmpty()) return;
  writeReadyFile(roots);
  if (!hold_) return;
  KLOG_I("test snapshot held until %s is removed", qPrintable(readyFile_));
  const auto end = std::chrono::steady_clock::now() + kLongestHold;
  while (QFileInfo::exists(readyFile_)) {
    if (std::chrono::steady_clock::now() > end) {
      KLOG_W("test snapshot hold on %s given up", qPrintable(readyFile_));
      return;
    }
    QThread::msleep(20);
  }
}

void CopySnapshotMaker::writeReadyFile(const QHash<QString, QString>& roots) const {
  // Written whole or not at all: a test polls for it.
  QSaveFile file(readyFile_);
  QStringList volumes = roots.keys();
  volumes.sort();
  bool ok = file.open(QIODevice::WriteOnly);
  for (const QString& volume : volumes) {
    ok = ok && file.write((volume + u'\t' + roots.value(volume) + u'\n').toUtf8()) >= 0;
  }
  if (!ok || !file.commit()) {
    KLOG_E("cannot write the test snapshot ready file %s: %s", qPrintable(readyFile_),
           qPrintable(file.errorString()));
  }
}

bool CopySnapshotMaker::destroy(QString* reason) {
  if (ownedFolder_.isEmpty()) return true;
  std::error_code ec;
  std::filesystem::remove_all(nativePath(ownedFolder_), ec);
  if (ec) *reason = QString("%1: %2").arg(ownedFolder_, QString::fromStdString(ec.message()));
  ownedFolder_.clear();
  return !ec;
}

}  // namespace kvn_vss
