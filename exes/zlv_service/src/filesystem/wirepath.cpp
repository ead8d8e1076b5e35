#include "filesystem/wirepath.h"

QString fromWirePath(const QString& path) {
  QString native = path;
  return native.replace(u'|', u'/');
}

QString toWirePath(const QString& path) {
  QString wire = path;
  return wire.replace(u'/', u'|');
}
