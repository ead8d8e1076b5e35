// The box's store of backed-up files: for every (job, native path) every
// version's full content, its last write and the signature the agent sent
// with it. It lives in a folder, so that it outlives one simulator process
// (a full run, then an incremental one against a new simulator). All
// sessions share one store; every call is thread-safe.
//
// Layout under the folder (also in the README):
//   job-<id>/<sha1 of the path>/path          the agent's text path, UTF-8
//   job-<id>/<sha1 of the path>/v<n>/content  full content of version n (of an
//                                              image: its data stream as received)
//                                   /signature the signature as received
//                                   /meta      lastWrite=, size=, signatureSize=, kind=
//   .staging/<draft>/                          versions being put together
//   index.txt                                  one line per version, for reading only
// A version is put together in .staging and renamed to v<n> only once it is
// complete, so an aborted transfer never leaves a half version as newest.
// The version folders are the truth: the index in memory and index.txt are
// rebuilt from them whenever a store is opened.
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

class QFile;
class QTemporaryDir;

namespace kvn_common {
class StreamSink;
}

namespace boxsim {

struct StoredVersion {
  std::int64_t jobId = 0;
  QString path;    // the agent's text path, "/" separators
  int number = 0;  // 1 for the first version
  std::int64_t size = 0;
  std::int32_t lastWrite = 0;
  std::int64_t signatureSize = 0;
  bool delta = false;  // rebuilt from a delta (else sent whole)
  QString contentPath;
  QString signaturePath;
};

class BackupStore {
 public:
  // A folder in which one version is put together; removed with the draft
  // unless it was stored.
  class Draft {
   public:
    ~Draft();
    Draft(const Draft&) = delete;
    Draft& operator=(const Draft&) = delete;
    QString contentPath() const { return folder_ + "/content"; }
    QString signaturePath() const { return folder_ + "/signature"; }

    // What the receiver wrote to the content and signature files, so that
    // storing needs no look at the disk. Sizes not noted are read from the
    // files.
    void noteContent(std::int64_t size) { contentSize_ = size; }
    void noteSignature(std::int64_t size) { signatureSize_ = size; }
    // The signature's size, noted or read from the disk; -1 when missing.
    std::int64_t signatureSize() const;

   private:
    friend class BackupStore;
    explicit Draft(QString folder) : folder_(std::move(folder)) {}
    QString folder_;
    bool stored_ = false;
    std::optional<std::int64_t> contentSize_;
    std::optional<std::int64_t> signatureSize_;
  };

  // ReadOnly opens an existing store for checking while a simulator may
  // still be writing to it: nothing is created, cleaned or rewritten, and
  // newDraft() fails.
  enum class Access { ReadWrite, ReadOnly };

  // Opens the store in folder, creating it; without a folder, in a
  // temporary one that goes away with the store. Drafts left behind by an
  // earlier process are removed.
  explicit BackupStore(const QString& folder = {}, Access access = Access::ReadWrite);
  ~BackupStore();
  BackupStore(const BackupStore&) = delete;
  BackupStore& operator=(const BackupStore&) = delete;

  // False (logged) when the folder could not be made.
  bool isOpen() const { return open_; }
  const QString& folder() const { return folder_; }

  // nullptr (logged) when the draft folder cannot be made.
  std::unique_ptr<Draft> newDraft();
  // A sink that creates or truncates path, a file of a draft, and writes
  // what reaches it; throws KVN_E_SERVER (logged) when the file cannot be
  // created or written.
  std::unique_ptr<kvn_common::StreamSink> createFile(const QString& path) const;

  // Stores the draft's content and signature as the next version of
  // (job, path). basis is the version a delta was applied to (0 for a whole
  // file): when another version was stored meanwhile, the draft is refused.
  // The new version, or nullopt (logged).
  std::optional<StoredVersion> store(Draft& draft, std::int64_t jobId, const QString& path,
                                     std::int32_t lastWrite, int basis);

  std::optional<StoredVersion> newest(std::int64_t jobId, const QString& path) const;
  // Oldest first.
  std::vector<StoredVersion> versions(std::int64_t jobId, const QString& path) const;
  // The newest version of every file, of one job or of all.
  std::vector<StoredVersion> newestVersions(std::optional<std::int64_t> jobId = {}) const;

  // Forgets every version of (job, path): false when there was none or the
  // folder could not be removed (logged).
  bool remove(std::int64_t jobId, const QString& path);

  // Called after each stored version, on the storing thread.
  void setObserver(std::function<void(const StoredVersion&)> observer);

 private:
  using Key = std::pair<std::int64_t, QString>;

  void load();
  void loadFile(std::int64_t jobId, const QString& fileFolder);
  QString fileFolder(std::int64_t jobId, const QString& path) const;
  // Makes the folder of a file not in the index yet, with its path file.
  bool makeFileFolder(const QString& folder, const QString& path) const;
  void appendIndexLine(const StoredVersion& version) const;

  // Where a path of the store is found from: the store's folder and the
  // path below it, or the path itself when the folder could not be opened.
  // Every file of a version is made there, and a walk from the folder is
  // half as long as one from the root.
  struct Place {
    int at;
    QByteArray path;
  };
  Place placeOf(const QString& path) const;
  bool writeVersionFile(const QString& path, const QByteArray& data, bool visible) const;

  std::unique_ptr<QTemporaryDir> temporary_;
  QString folder_;
  int folderFd_ = -1;
  // Names the drafts of this process apart.
  QString draftPrefix_;
  std::atomic<std::uint64_t> drafts_{0};
  bool open_ = false;
  bool writable_ = false;
  mutable std::mutex mutex_;
  std::map<Key, std::vector<StoredVersion>> index_;
  // index.txt, open for appending from the first version stored.
  mutable std::unique_ptr<QFile> indexFile_;
  std::function<void(const StoredVersion&)> observer_;
};

}  // namespace boxsim
