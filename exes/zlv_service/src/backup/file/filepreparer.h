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

#include "kvn_common/stream.h"

class SignatureFolders;
namespace kvn_crypto {
class AesContext;
}

// One file's payload, ready to be sent. A prepared signature that is not
// committed is removed with the object.
class PreparedFile {
 public:
  PreparedFile() = default;
  ~PreparedFile();
  PreparedFile(PreparedFile&& other) noexcept;
  PreparedFile& operator=(PreparedFile&& other) noexcept;

  // Pushes the payload into sink in the pieces the chain produced, then
  // ends it.
  void sendTo(kvn_common::StreamSink& sink) const;
  // Renames the signature into place; false with errno set when it cannot.
  bool commitSignature();

  const QString& signaturePath() const { return signaturePath_; }
  std::vector<char>& signature() { return signature_; }
  std::int64_t size() const { return size_; }
  std::int32_t lastWrite() const { return lastWrite_; }

 private:
  friend class FilePreparer;
  void dropSignature();

  std::int64_t size_ = 0;
  std::int32_t lastWrite_ = 0;
  // The final name; until committed the bytes are in "<name>.part".
  QString signaturePath_;
  bool partWritten_ = false;
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
  static constexpr std::size_t kMaxAhead = 2;

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
  // The payload of readPath when it is the oldest file requested, was
  // prepared, and the file still has the size and last write it was read
  // with (and that the backup recorded in size and lastWrite); waits while
  // it is under way. Nothing otherwise: the file then takes the ordinary way.
  std::optional<PreparedFile> take(const QString& readPath, std::int64_t size,
                                   std::int32_t lastWrite);
  // Drops the work for readPath when it is the oldest file requested: its
  // conversation is over without the payload (already on the box, a
  // conflict, a failure), or it was sent.
  void forget(const QString& readPath);

 private:
  struct Slot {
    QString path;
    QString readPath;
    bool done = false;
    std::optional<PreparedFile> result;
  };

  void run();
  std::optional<PreparedFile> prepare(const Slot& slot);
  void encode(const QString& readPath, PreparedFile& file);
  bool writeSignaturePart(PreparedFile& file);

  const Settings settings_;
  std::unique_ptr<kvn_crypto::AesContext> cipher_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Slot>> slots_;
  bool quit_ = false;
  std::thread thread_;
};
