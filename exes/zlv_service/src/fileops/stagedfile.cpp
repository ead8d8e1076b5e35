#include "fileops/stagedfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <cerrno>
#include <cstring>
#include <string>

#include "kvn_log/log.h"
#include "kvn_platform/text_path_qt.h"

namespace {

QFileDevice::FileError fileErrorOf(int error, QFileDevice::FileError otherwise) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS: return QFileDevice::PermissionsError;
    case ENOSPC:
    case EDQUOT:
    case EMFILE:
    case ENFILE:
    case ENOMEM: return QFileDevice::ResourceError;
    default: return otherwise;
  }
}

bool fail(StagedFile::Failure* failure, const QString& what, int error,
          QFileDevice::FileError otherwise = QFileDevice::OpenError) {
  failure->error = fileErrorOf(error, otherwise);
  failure->text = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
  failure->refused = false;
  return false;
}

// Restored names are the agent's text paths: back to the bytes they were.
std::string local(const QString& text) { return kvn_platform::toNativePath(text); }

// Creates path and its missing parents (following links: the user chose
// this folder). 0 or errno.
int makePath(const QString& path) {
  QString done;
  for (const QString& name : path.split(u'/', Qt::SkipEmptyParts)) {
    done += u'/' + name;
    if (::mkdir(local(done).c_str(), 0777) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// Opens (creating it) the folder name below at without following a link.
// The new descriptor, or -1 with errno.
int openFolderBelow(int at, const QString& name) {
  const std::string n = local(name);
  if (::mkdirat(at, n.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  return ::openat(at, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The folder that will hold the file, or -1 with failure set.
int openFolder(const RestorePlacement& placement, StagedFile::Failure* failure) {
  const QString top = placement.root.isEmpty() ? placement.parent : placement.root;
  if (const int error = makePath(top)) {
    fail(failure, QStringLiteral("cannot create ") + top, error);
    return -1;
  }
  int folder = ::open(local(top).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    fail(failure, QStringLiteral("cannot open ") + top, errno);
    return -1;
  }
  for (const QString& name : placement.folders) {
    const int below = openFolderBelow(folder, name);
    const int error = errno;
    ::close(folder);
    if (below < 0) {
      fail(failure, QStringLiteral("cannot create ") + name, error);
      // A link or a file where a folder should be would lead out of the
      // target folder.
      if (error == ELOOP || error == ENOTDIR) failure->refused = true;
      return -1;
    }
    folder = below;
  }
  return folder;
}

// Temporary files of a restoration that was killed before it could
// remove them. One file is staged at a time, so any other is stale.
void removeStaleTemporaries(int folder) {
  const int listing = ::dup(folder);
  if (listing < 0) return;
  DIR* dir = ::fdopendir(listing);
  if (dir == nullptr) {
    ::close(listing);
    return;
  }
  const std::size_t prefix = std::strlen(StagedFile::kPrefix);
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, StagedFile::kPrefix, prefix) != 0) continue;
    struct stat status {};
    if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode))
      continue;
    if (::unlinkat(folder, entry->d_name, 0) == 0)
      KLOG_I("Removed the temporary file %s of an earlier restoration", entry->d_name);
  }
  ::closedir(dir);
}

}  // namespace

StagedFile::StagedFile(int folder, QString temporary, QString leaf)
    : folder_(folder), temporary_(std::move(temporary)), leaf_(std::move(leaf)) {}

std::unique_ptr<StagedFile> StagedFile::open(const RestorePlacement& placement, Failure* failure) {
  const int folder = openFolder(placement, failure);
  if (folder < 0) return nullptr;
  removeStaleTemporaries(folder);
  for (int attempt = 0; attempt < 16; ++attempt) {
    const QString name = QString::fromLatin1(kPrefix) +
                         QString::number(QRandomGenerator::global()->generate64(), 36);
    const int fd = ::openat(folder, local(name).c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      fail(failure, QStringLiteral("cannot create a file in ") + placement.path, errno);
      ::close(folder);
      return nullptr;
    }
    std::unique_ptr<StagedFile> staged(new StagedFile(folder, name, placement.leaf));
    staged->fd_ = fd;
    if (!staged->file_.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
      fail(failure, QStringLiteral("cannot open ") + name, EIO);
      return nullptr;
    }
    return staged;
  }
  fail(failure, QStringLiteral("no free temporary name in ") + placement.path, EEXIST);
  ::close(folder);
  return nullptr;
}

StagedFile::~StagedFile() {
  file_.close();
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlinkat(folder_, local(temporary_).c_str(), 0);
  ::close(folder_);
}

bool StagedFile::commit(std::int32_t lastWrite, Failure* failure) {
  if (!file_.flush()) return fail(failure, QStringLiteral("cannot write"), EIO, file_.error());
  // Access time unchanged; the last write to the second.
  const struct timespec times[2] = {{0, UTIME_OMIT}, {lastWrite, 0}};
  if (::futimens(fd_, times) != 0)
    return fail(failure, QStringLiteral("cannot set the time"), errno, QFileDevice::WriteError);
  // Flushing is what keeps an original either untouched or wholly replaced
  // across a crash: the rename may reach the disk before the data. So the
  // data is flushed when something is there to lose. A file new to its
  // folder is renamed unflushed; a crash may then leave it short or empty,
  // but nothing that was there is lost, and the box, which never heard
  // the end of the restoration, still holds it. A flush per file would cost
  // more than restoring a small file does.
  struct stat existing {};
  const bool replacing =
      ::fstatat(folder_, local(leaf_).c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (replacing && ::fdatasync(fd_) != 0)
    return fail(failure, QStringLiteral("cannot flush"), errno, QFileDevice::WriteError);
  // rename() replaces a link at the destination instead of following it.
  if (::renameat(folder_, local(temporary_).c_str(), folder_, local(leaf_).c_str()) != 0)
    return fail(failure, QStringLiteral("cannot rename over ") + leaf_, errno,
                QFileDevice::RenameError);
  committed_ = true;
  return true;
}
