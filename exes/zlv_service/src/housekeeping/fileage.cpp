#include "housekeeping/fileage.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace housekeeping {

namespace {

bool statOf(const QString& path, struct statx& result) {
  const QByteArray native = path.toLocal8Bit();
  return ::statx(AT_FDCWD, native.constData(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME,
                 &result) == 0;
}

QDateTime fromTimestamp(const struct statx_timestamp& stamp) {
  return QDateTime::fromMSecsSinceEpoch(qint64(stamp.tv_sec) * 1000 + stamp.tv_nsec / 1000000);
}

}  // namespace

QDateTime creationTime(const QString& path) {
  struct statx result {};
  if (!statOf(path, result)) return {};
  if (result.stx_mask & STATX_BTIME) return fromTimestamp(result.stx_btime);
  return fromTimestamp(result.stx_mtime);
}

QDateTime modificationTime(const QString& path) {
  struct statx result {};
  if (!statOf(path, result)) return {};
  return fromTimestamp(result.stx_mtime);
}

bool recordsBirthTime(const QString& path) {
  struct statx result {};
  return statOf(path, result) && (result.stx_mask & STATX_BTIME) != 0;
}

}  // namespace housekeeping
