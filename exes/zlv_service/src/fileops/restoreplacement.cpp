#include "fileops/restoreplacement.h"

#include <QDir>

namespace {

// The path's names; nullopt when one of them climbs up or cannot be a name.
std::optional<QStringList> names(const QString& path, QString* reason) {
  // The file system would end the name at the NUL: "..\0x" would be "..".
  if (path.contains(QChar(u'\0'))) {
    *reason = QStringLiteral("the path holds a NUL character");
    return std::nullopt;
  }
  QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
  parts.removeAll(QStringLiteral("."));
  if (parts.contains(QStringLiteral(".."))) {
    *reason = QStringLiteral("the path climbs out with \"..\"");
    return std::nullopt;
  }
  if (parts.isEmpty() || path.endsWith(u'/')) {
    *reason = QStringLiteral("the path names no file");
    return std::nullopt;
  }
  return parts;
}

}  // namespace

std::optional<RestorePlacement> RestoreTarget::place(const QString& source, QString* reason) const {
  if (target_.isEmpty() || source.isEmpty()) {
    *reason = QStringLiteral("arguments");
    return std::nullopt;
  }
  auto parts = names(source, reason);
  if (!parts) return std::nullopt;
  RestorePlacement placement;
  placement.leaf = parts->takeLast();
  if (isOriginalPath()) {
    if (!source.startsWith(u'/')) {
      *reason = QStringLiteral("the original path is not absolute");
      return std::nullopt;
    }
    placement.parent = QStringLiteral("/") + parts->join(u'/');
    placement.path = QDir(placement.parent).filePath(placement.leaf);
    return placement;
  }
  // A path with a drive letter keeps the drive as a folder: "C:" -> "C_".
  if (!source.startsWith(u'/') && source.size() > 1 && source[1] == u':' && !parts->isEmpty())
    (*parts)[0][1] = u'_';
  placement.root = QDir::cleanPath(target_);
  placement.folders = *parts;
  placement.path = placement.root + u'/' +
                   (parts->isEmpty() ? QString() : parts->join(u'/') + u'/') + placement.leaf;
  return placement;
}
