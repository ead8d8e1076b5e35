#include "database/privatefile.h"

#include <QFile>

#include "kvn_log/log.h"

namespace kvn_agent_database {

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

}  // namespace

bool createPrivateFile(const QString& path) {
  if (QFile::exists(path)) return true;
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly)) return false;
  file.close();
  return true;
}

bool restrictToOwner(const QString& path) {
  if (QFile::setPermissions(path, kOwnerOnly)) return true;
  KLOG_W("cannot restrict the permissions of '%s' to its owner", qPrintable(path));
  return false;
}

}  // namespace kvn_agent_database
