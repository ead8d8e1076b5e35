#include "boxsim/backup_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "kvn_common/atomic_file_sink.h"
#include "kvn_common/stream.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace boxsim {

namespace {

constexpr const char* kStaging = ".staging";
constexpr const char* kIndex = "index.txt";
constexpr const char* kIndexHeader = "# job\tversion\tkind\tsize\tlastWrite\tpath\n";

// Written whole or not at all, and flushed to the disk.
bool writeSmallFile(const QString& path, const QByteArray& data) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
    KLOG_E("boxsim store: cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
    return false;
  }
  return true;
}

bool writeWhole(int at, const QByteArray& path, const QByteArray& data) {
  const int fd = ::openat(at, path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool written =
      kvn_common::writeAll(fd, data.constData(), static_cast<std::size_t>(data.size()));
  const int error = written ? 0 : errno;
  if (::close(fd) != 0 && written) return false;
  errno = error;
  return written;
}

// A draft's content or signature, written as it arrives in the pieces the
// decoder hands over (64 KiB and more), without a buffer of its own.
class DraftFileSink : public kvn_common::StreamSink {
 public:
  DraftFileSink(int at, const QByteArray& path, const QString& shown)
      : shown_(shown),
        fd_(::openat(at, path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {
    if (fd_ < 0) fail("open");
  }
  ~DraftFileSink() override {
    if (fd_ >= 0) ::close(fd_);
  }
  DraftFileSink(const DraftFileSink&) = delete;
  DraftFileSink& operator=(const DraftFileSink&) = delete;

  void write(const char* data, std::uint32_t size) override {
    if (!kvn_common::writeAll(fd_, data, size)) fail("write");
  }
  void end() override {
    if (::close(std::exchange(fd_, -1)) != 0) fail("close");
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    const int error = errno;
    KLOG_E("boxsim store: could not %s %s: %s", what, qPrintable(shown_), std::strerror(error));
    auto e = KvnCommonException::formatted(KVN_HERE, "Could not %s output file: %s", what,
                                           qPrintable(shown_));
    e.code = KVN_E_SERVER;
    throw e;
  }

  QString shown_;
  int fd_;
};

// The size of a regular file, or -1.
std::int64_t fileSize(const QString& path) {
  struct stat info {};
  if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

QByteArray metaText(const StoredVersion& v) {
  return QString("lastWrite=%1\nsize=%2\nsignatureSize=%3\nkind=%4\n")
      .arg(v.lastWrite)
      .arg(v.size)
      .arg(v.signatureSize)
      .arg(v.delta ? "delta" : "full")
      .toUtf8();
}

// Reads a meta file back; false when it is missing or incomplete.
bool readMeta(const QString& path, StoredVersion& v) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  int found = 0;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const qsizetype eq = line.indexOf('=');
    if (eq <= 0) continue;
    const QByteArray key = line.left(eq);
    const QByteArray value = line.mid(eq + 1);
    bool ok = true;
    if (key == "lastWrite")
      v.lastWrite = value.toInt(&ok);
    else if (key == "size")
      v.size = value.toLongLong(&ok);
    else if (key == "signatureSize")
      v.signatureSize = value.toLongLong(&ok);
    else if (key == "kind" && (value == "full" || value == "delta"))
      v.delta = value == "delta";
    else
      continue;
    if (ok) ++found;
  }
  return found == 4;
}

QString indexLine(const StoredVersion& v) {
  return QString("%1\t%2\t%3\t%4\t%5\t%6\n")
      .arg(v.jobId)
      .arg(v.number)
      .arg(v.delta ? "delta" : "full")
      .arg(v.size)
      .arg(v.lastWrite)
      .arg(v.path);
}

}  // namespace

// Written without waiting for the disk: the content and signature beside
// it are not flushed either, so a flush of the small files alone bought
// nothing and cost two disk waits a version. A file others may read at
// any time is written whole or not at all as far as a crash of this
// process goes (finished, then renamed into place); one in a draft folder
// needs no such care, the folder only becomes a version once complete.
// Plain system calls: a QFile would also look the file up after opening.
bool BackupStore::writeVersionFile(const QString& path, const QByteArray& data,
                                   bool visible) const {
  const Place target = placeOf(path);
  const QByteArray part = visible ? target.path + ".part" : target.path;
  if (!writeWhole(target.at, part, data) ||
      (visible &&
       ::renameat(target.at, part.constData(), target.at, target.path.constData()) != 0)) {
    KLOG_E("boxsim store: cannot write %s: %s", qPrintable(path), std::strerror(errno));
    ::unlinkat(target.at, part.constData(), 0);
    return false;
  }
  return true;
}

BackupStore::Place BackupStore::placeOf(const QString& path) const {
  if (folderFd_ >= 0 && path.size() > folder_.size() + 1 && path.startsWith(folder_) &&
      path.at(folder_.size()) == u'/')
    return {folderFd_, QFile::encodeName(path.mid(folder_.size() + 1))};
  return {AT_FDCWD, QFile::encodeName(path)};
}

std::unique_ptr<kvn_common::StreamSink> BackupStore::createFile(const QString& path) const {
  const Place place = placeOf(path);
  return std::make_unique<DraftFileSink>(place.at, place.path, path);
}

BackupStore::Draft::~Draft() {
  if (!stored_) QDir(folder_).removeRecursively();
}

std::int64_t BackupStore::Draft::signatureSize() const {
  return signatureSize_ ? *signatureSize_ : fileSize(signaturePath());
}

BackupStore::BackupStore(const QString& folder, Access access)
    : draftPrefix_(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      writable_(access == Access::ReadWrite) {
  if (folder.isEmpty()) {
    temporary_ = std::make_unique<QTemporaryDir>();
    folder_ = temporary_->isValid() ? temporary_->path() : QString();
  } else {
    folder_ = QDir(folder).absolutePath();
  }
  if (!writable_) {
    open_ = QFileInfo(folder_).isDir();
    if (!open_) KLOG_E("boxsim store: no store in %s", qPrintable(folder));
    if (open_) load();
    return;
  }
  if (folder_.isEmpty() || !QDir().mkpath(folder_)) {
    KLOG_E("boxsim store: cannot create the store folder %s", qPrintable(folder));
    return;
  }
  // Versions an earlier process was putting together never became newest.
  QDir(folder_ + "/" + kStaging).removeRecursively();
  folderFd_ = ::open(QFile::encodeName(folder_).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  open_ = true;
  load();
}

BackupStore::~BackupStore() {
  if (folderFd_ >= 0) ::close(folderFd_);
}

void BackupStore::load() {
  const QDir root(folder_);
  for (const QString& jobName : root.entryList({"job-*"}, QDir::Dirs | QDir::NoDotAndDotDot)) {
    bool ok = false;
    const std::int64_t jobId = jobName.mid(4).toLongLong(&ok);
    if (!ok) continue;
    const QDir jobFolder(root.filePath(jobName));
    for (const QString& file : jobFolder.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
      loadFile(jobId, jobFolder.filePath(file));
  }
  if (!writable_) return;
  QByteArray text = kIndexHeader;
  for (const auto& [key, versions] : index_)
    for (const StoredVersion& v : versions) text += indexLine(v).toUtf8();
  writeSmallFile(root.filePath(kIndex), text);
}

void BackupStore::loadFile(std::int64_t jobId, const QString& fileFolder) {
  QFile pathFile(fileFolder + "/path");
  if (!pathFile.open(QIODevice::ReadOnly)) {
    KLOG_W("boxsim store: %s has no path, skipped", qPrintable(fileFolder));
    return;
  }
  const QString path = QString::fromUtf8(pathFile.readAll());
  std::vector<StoredVersion>& versions = index_[{jobId, path}];
  const QDir folder(fileFolder);
  for (const QString& name : folder.entryList({"v*"}, QDir::Dirs | QDir::NoDotAndDotDot)) {
    StoredVersion v;
    bool ok = false;
    v.number = name.mid(1).toInt(&ok);
    if (!ok || v.number <= 0) continue;
    v.jobId = jobId;
    v.path = path;
    v.contentPath = folder.filePath(name + "/content");
    v.signaturePath = folder.filePath(name + "/signature");
    if (!readMeta(folder.filePath(name + "/meta"), v) || !QFileInfo(v.contentPath).isFile() ||
        !QFileInfo(v.signaturePath).isFile()) {
      KLOG_W("boxsim store: version folder %s is incomplete, skipped",
             qPrintable(folder.filePath(name)));
      continue;
    }
    versions.push_back(v);
  }
  std::sort(versions.begin(), versions.end(),
            [](const StoredVersion& a, const StoredVersion& b) { return a.number < b.number; });
  if (versions.empty()) index_.erase({jobId, path});
}

QString BackupStore::fileFolder(std::int64_t jobId, const QString& path) const {
  const QByteArray hash = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex();
  return QString("%1/job-%2/%3").arg(folder_).arg(jobId).arg(QString::fromLatin1(hash));
}

bool BackupStore::makeFileFolder(const QString& folder, const QString& path) const {
  const Place place = placeOf(folder);
  if (::mkdirat(place.at, place.path.constData(), 0777) == 0) {
    // A folder made just now holds no version yet, and a version is only
    // moved in after this returns: a path file cut short by a crash comes
    // with no version to mislabel, and the next store of that path takes
    // the branch below and writes it afresh. So no rename is needed here.
    return writeVersionFile(folder + "/path", path.toUtf8(), false);
  }
  if (errno != EEXIST && (errno != ENOENT || !QDir().mkpath(folder))) {
    KLOG_E("boxsim store: cannot create %s: %s", qPrintable(folder), std::strerror(errno));
    return false;
  }
  // Left from versions that are gone, or from a crash before its first
  // version: its path file is written whole again, as it may be short.
  return writeVersionFile(folder + "/path", path.toUtf8(), true);
}

std::unique_ptr<BackupStore::Draft> BackupStore::newDraft() {
  const QString folder = QString("%1/%2/%3-%4").arg(folder_, kStaging, draftPrefix_).arg(++drafts_);
  const Place draftPlace = placeOf(folder);
  // The staging folder is there from the first draft on.
  const bool made = open_ && writable_ &&
                    (::mkdirat(draftPlace.at, draftPlace.path.constData(), 0777) == 0 ||
                     (errno == ENOENT && QDir().mkpath(folder)));
  if (!made) {
    KLOG_E("boxsim store: cannot create the draft folder %s", qPrintable(folder));
    return nullptr;
  }
  return std::unique_ptr<Draft>(new Draft(folder));
}

std::optional<StoredVersion> BackupStore::store(Draft& draft, std::int64_t jobId,
                                                const QString& path, std::int32_t lastWrite,
                                                int basis) {
  std::optional<StoredVersion> stored;
  std::function<void(const StoredVersion&)> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = index_.find({jobId, path});
    const int newest = it == index_.end() ? 0 : it->second.back().number;
    if (basis > 0 && newest != basis) {
      KLOG_W("boxsim store: %s changed to v%d while a delta against v%d arrived", qPrintable(path),
             newest, basis);
      return std::nullopt;
    }
    const std::int64_t contentSize =
        draft.contentSize_ ? *draft.contentSize_ : fileSize(draft.contentPath());
    const std::int64_t signatureSize = draft.signatureSize();
    if (contentSize < 0 || signatureSize < 0) {
      KLOG_E("boxsim store: draft of %s lacks its content or signature", qPrintable(path));
      return std::nullopt;
    }
    StoredVersion v;
    v.jobId = jobId;
    v.path = path;
    v.number = newest + 1;
    v.size = contentSize;
    v.lastWrite = lastWrite;
    v.signatureSize = signatureSize;
    v.delta = basis > 0;
    const QString target = fileFolder(jobId, path);
    const QString versionFolder = QString("%1/v%2").arg(target).arg(v.number);
    // A file already in the index has its folder and path file.
    if (!writeVersionFile(draft.folder_ + "/meta", metaText(v), false) ||
        (it == index_.end() && !makeFileFolder(target, path)))
      return std::nullopt;
    // Never over a version folder that is there (one skipped as incomplete).
    const Place from = placeOf(draft.folder_);
    const Place to = placeOf(versionFolder);
    if (::renameat2(from.at, from.path.constData(), to.at, to.path.constData(), RENAME_NOREPLACE) !=
        0) {
      KLOG_E("boxsim store: cannot move %s to %s: %s", qPrintable(draft.folder_),
             qPrintable(versionFolder), std::strerror(errno));
      return std::nullopt;
    }
    draft.stored_ = true;
    v.contentPath = versionFolder + "/content";
    v.signaturePath = versionFolder + "/signature";
    index_[{jobId, path}].push_back(v);
    appendIndexLine(v);
    stored = v;
    observer = observer_;
  }
  if (observer) observer(*stored);
  return stored;
}

void BackupStore::appendIndexLine(const StoredVersion& version) const {
  // Only for reading: a line lost in a crash comes back at the next open.
  // Opened once, after load() has written the file afresh.
  if (!indexFile_) {
    indexFile_ = std::make_unique<QFile>(folder_ + "/" + kIndex);
    if (!indexFile_->open(QIODevice::Append | QIODevice::Unbuffered))
      KLOG_W("boxsim store: cannot open %s", qPrintable(indexFile_->fileName()));
  }
  if (!indexFile_->isOpen() || indexFile_->write(indexLine(version).toUtf8()) < 0)
    KLOG_W("boxsim store: cannot append to %s", qPrintable(indexFile_->fileName()));
}

std::optional<StoredVersion> BackupStore::newest(std::int64_t jobId, const QString& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = index_.find({jobId, path});
  if (it == index_.end()) return std::nullopt;
  return it->second.back();
}

std::vector<StoredVersion> BackupStore::versions(std::int64_t jobId, const QString& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = index_.find({jobId, path});
  return it == index_.end() ? std::vector<StoredVersion>{} : it->second;
}

std::vector<StoredVersion> BackupStore::newestVersions(std::optional<std::int64_t> jobId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<StoredVersion> result;
  for (const auto& [key, versions] : index_)
    if (!jobId || key.first == *jobId) result.push_back(versions.back());
  return result;
}

bool BackupStore::remove(std::int64_t jobId, const QString& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = index_.find({jobId, path});
  if (it == index_.end() || !writable_) return false;
  if (!QDir(fileFolder(jobId, path)).removeRecursively()) {
    KLOG_E("boxsim store: cannot remove %s of job %lld", qPrintable(path),
           static_cast<long long>(jobId));
    return false;
  }
  index_.erase(it);
  return true;
}

void BackupStore::setObserver(std::function<void(const StoredVersion&)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

}  // namespace boxsim
