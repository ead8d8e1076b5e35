// Prepares the payload of the next new small files on a thread of its own
// while the current file's exchanges with the box run: the file is read,
// compressed and encrypted into memory exactly as the data chain would
// send it, its signature computed, and the signature written under its
// ".part" name. Only the send itself, the rename of the signature and the
// records stay on the backup's thread, in the order they always had.
#pragma once

#include <QDir>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "kvn_common/atomic_file_sink.h"
#include "kvn_common/stream.h"
#include "kvn_platform/filesystem.h"

class SignatureFolders;
namespace kvn_crypto {
class AesContext;
}

// One file's payload, ready to be sent. A prepared signature that is not
// committed is removed with the object.
class PreparedFile {
 public:
  PreparedFile() = default;

  // Pushes the payload into sink in the pieces the chain produced, then
  // ends it.
  void sendTo(kvn_common::StreamSink& sink) const;
  // Renames the signature into place; false (logged) when it cannot.
  bool commitSignature();

  const QString& signaturePath() const { return signaturePath_; }
  std::vector<char>& signature() { return signature_; }
  std::int64_t size() const { return size_; }
  std::int32_t lastWrite() const { return lastWrite_; }

 private:
  friend class FilePreparer;

  std::int64_t size_ = 0;
  std::int32_t lastWrite_ = 0;
  // The final name; until committed the bytes are in "<name>.part", which
  // goes with the object.
  QString signaturePath_;
  std::unique_ptr<kvn_common::AtomicFileSink> signatureFile_;
  std::vector<char> payload_;
  std::vector<std::uint32_t> pieces_;
  bool ended_ = false;
  std::vector<char> signature_;
};

class FilePreparer {
 public:
  // Files above this are sent as they are read, never held in memory.
  static constexpr std::int64_t kMaxFileSize = 0x100000;
  // Files requested and not yet taken: the memory held is bounded by this
  // many payloads.
  static constexpr std::size_t kMaxAhead = 6;
  // The thread, once idle, is woken when this many files wait (or the
  // backup waits for one): each wake-up costs both threads a switch, and
  // preparing a few files in a row costs one.
  static constexpr std::size_t kWakeAt = 3;

  struct Settings {
    bool compress = false;
    // The job's data cipher, or null when the job does not encrypt. It is
    // only copied: the thread encrypts with a context of its own.
    const kvn_crypto::AesContext* cipher = nullptr;
    QDir signaturesDir;
    // Shared with the backup's thread, which makes the same folders.
    SignatureFolders* folders = nullptr;
    std::int64_t jobId = 0;
    // The job's stop request; a stop ends the preparation under way.
    const std::atomic<bool>* stopFlag = nullptr;
  };

  explicit FilePreparer(const Settings& settings);
  // Stops the thread, joins it, and removes every signature prepared and
  // not taken.
  ~FilePreparer();
  FilePreparer(const FilePreparer&) = delete;
  FilePreparer& operator=(const FilePreparer&) = delete;

  // Queues path (native, as the box knows it), read from readPath; false
  // when kMaxAhead files wait already.
  bool request(const QString& path, const QString& readPath);
  // Called right before the backup reads the status of readPath for its
  // record: when its payload is ready by then, that status is newer than
  // the read, and take() checks it instead of reading the status again.
  void beforeStatusRead(const QString& readPath);
  // The payload of readPath when it is the oldest file requested, was
  // prepared, and the file still has the size and last write it was read
  // with (and that the backup recorded in size and lastWrite); waits while
  // it is under way. Nothing otherwise: the file then takes the ordinary way.
  // statusRead is the status the backup read after beforeStatusRead, if
  // it could.
  std::optional<PreparedFile> take(const QString& readPath, std::int64_t size,
                                   std::int32_t lastWrite,
                                   const std::optional<kvn_platform::FileStatus>& statusRead = {});
  // The backup's thread is busy with the box between pause() and resume():
  // the thread finishes the file under way and starts no other until the
  // backup waits for the box again (resume) or for a payload (take). Two
  // cores are enough for the backup, the box and this thread only if this
  // one works while the other two wait for each other; otherwise each
  // exchange waits for a core. Files prepared in a window of its own also
  // wake the thread one by one.
  void pause();
  void resume();
  // Drops the work for readPath when it is the oldest file requested: its
  // conversation is over without the payload (already on the box, a
  // conflict, a failure), or it was sent.
  void forget(const QString& readPath);

 private:
  struct Slot {
    QString path;
    QString readPath;
    bool done = false;
    // Prepared before the backup read the file's status.
    bool doneBeforeStatus = false;
    std::optional<PreparedFile> result;
  };

  // Under the lock: wakes the thread when it is idle and enough files wait
  // for it, or any file does and the backup waits for it.
  void wakeIfDue(bool backupWaits);
  void run();
  std::optional<PreparedFile> prepare(const Slot& slot);
  void encode(const QString& readPath, PreparedFile& file);
  bool writeSignaturePart(PreparedFile& file);

  const Settings settings_;
  std::unique_ptr<kvn_crypto::AesContext> cipher_;
  std::mutex mutex_;
  // The thread waits on work_, the backup on ready_.
  std::condition_variable work_;
  std::condition_variable ready_;
  std::deque<std::shared_ptr<Slot>> slots_;
  bool idle_ = false;
  bool backupWaits_ = false;
  // What the backup's thread said last: nothing yet (files are then
  // prepared kWakeAt at a time), pause() or resume().
  enum class Window { Unknown, Paused, Open };
  Window window_ = Window::Unknown;
  bool quit_ = false;
  std::thread thread_;
};
