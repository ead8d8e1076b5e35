#include "backup/file/filepreparer.h"

#include <QFile>
#include <QFileInfo>
#include <exception>
#include <utility>

#include "backup/file/newsignature.h"
#include "backup/file/payloadcodecs.h"
#include "database/signaturefile.h"
#include "kvn_common/atomic_file_sink.h"
#include "kvn_common/file_source.h"
#include "kvn_common/pipes.h"
#include "kvn_compression/deflate_stream.h"
#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_log/log.h"
#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/signature_engine.h"

namespace {

// Keeps what reaches it, and the size of every piece, so that the pieces
// can be replayed into the network sink as the chain would have sent them.
class RecordingSink : public kvn_common::StreamSink {
 public:
  RecordingSink(std::vector<char>& bytes, std::vector<std::uint32_t>* pieces, bool& ended)
      : bytes_(bytes), pieces_(pieces), ended_(ended) {}
  void write(const char* data, std::uint32_t size) override {
    bytes_.insert(bytes_.end(), data, data + size);
    if (pieces_) pieces_->push_back(size);
  }
  void end() override { ended_ = true; }

 private:
  std::vector<char>& bytes_;
  std::vector<std::uint32_t>* pieces_;
  bool& ended_;
};

}  // namespace

void PreparedFile::sendTo(kvn_common::StreamSink& sink) const {
  std::size_t at = 0;
  for (const std::uint32_t piece : pieces_) {
    sink.write(payload_.data() + at, piece);
    at += piece;
  }
  if (ended_) sink.end();
}

bool PreparedFile::commitSignature() {
  if (!signatureFile_) return false;
  // The sink logs what failed, and removes the part file whatever happens.
  const std::unique_ptr<kvn_common::AtomicFileSink> file = std::move(signatureFile_);
  try {
    file->end();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

FilePreparer::FilePreparer(const Settings& settings) : settings_(settings) {
  if (settings_.cipher) {
    cipher_ = std::make_unique<kvn_crypto::AesContext>();
    cipher_->initLike(*settings_.cipher);
  }
  thread_ = std::thread([this] { run(); });
}

FilePreparer::~FilePreparer() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  work_.notify_all();
  thread_.join();
  slots_.clear();
}

bool FilePreparer::request(const QString& path, const QString& readPath) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (quit_ || slots_.size() >= kMaxAhead) return false;
  auto slot = std::make_shared<Slot>();
  slot->path = path;
  slot->readPath = readPath;
  slots_.push_back(std::move(slot));
  wakeIfDue(false);
  return true;
}

void FilePreparer::wakeIfDue(bool backupWaits) {
  if (!idle_) return;
  std::size_t waiting = 0;
  for (const auto& slot : slots_)
    if (!slot->done) ++waiting;
  if (waiting == 0) return;
  if (!backupWaits &&
      (window_ == Window::Paused || (window_ == Window::Unknown && waiting < kWakeAt)))
    return;
  idle_ = false;
  work_.notify_one();
}

void FilePreparer::pause() {
  const std::lock_guard<std::mutex> lock(mutex_);
  window_ = Window::Paused;
}

void FilePreparer::resume() {
  const std::lock_guard<std::mutex> lock(mutex_);
  window_ = Window::Open;
  wakeIfDue(false);
}

void FilePreparer::beforeStatusRead(const QString& readPath) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!slots_.empty() && slots_.front()->readPath == readPath && slots_.front()->done)
    slots_.front()->doneBeforeStatus = true;
}

std::optional<PreparedFile> FilePreparer::take(
    const QString& readPath, std::int64_t size, std::int32_t lastWrite,
    const std::optional<kvn_platform::FileStatus>& statusRead) {
  std::optional<PreparedFile> file;
  bool statusIsNewer = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (slots_.empty() || slots_.front()->readPath != readPath) return std::nullopt;
    const std::shared_ptr<Slot> slot = slots_.front();
    if (!slot->done) {
      wakeIfDue(true);
      backupWaits_ = true;
      ready_.wait(lock, [&] { return slot->done; });
      backupWaits_ = false;
    }
    slots_.pop_front();
    file = std::move(slot->result);
    statusIsNewer = slot->doneBeforeStatus;
  }
  if (!file) return std::nullopt;
  // The file must still be the one that was read: changed or gone since,
  // it takes the ordinary way, which reads it again or reports it. A
  // status the backup read after the preparation shows such a change too.
  kvn_platform::FileStatus status;
  if (statusIsNewer && statusRead)
    status = *statusRead;
  else if (!kvn_platform::fileStatus(kvn_platform::toNativePath(readPath), status, nullptr))
    status.hasLastWrite = false;
  if (file->size_ != size || file->lastWrite_ != lastWrite || status.size != size ||
      !status.hasLastWrite || static_cast<std::int32_t>(status.lastWrite) != lastWrite) {
    KLOG_D("%s changed after its preparation; it is read again", qPrintable(readPath));
    return std::nullopt;
  }
  return file;
}

void FilePreparer::forget(const QString& readPath) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // One still under way is dropped by the thread when it is done with it.
  if (!slots_.empty() && slots_.front()->readPath == readPath) slots_.pop_front();
}

void FilePreparer::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (quit_) return;
    std::shared_ptr<Slot> slot;
    for (const auto& waiting : slots_) {
      if (!waiting->done) {
        slot = waiting;
        break;
      }
    }
    if (!slot || (window_ == Window::Paused && !backupWaits_)) {
      idle_ = true;
      work_.wait(lock, [&] { return quit_ || !idle_; });
      continue;
    }
    lock.unlock();
    std::optional<PreparedFile> result = prepare(*slot);
    lock.lock();
    slot->result = std::move(result);
    slot->done = true;
    // Let go under the lock: a slot the backup dropped meanwhile ends
    // here, with its signature.
    slot.reset();
    if (backupWaits_) ready_.notify_one();
  }
}

std::optional<PreparedFile> FilePreparer::prepare(const Slot& slot) {
  kvn_platform::FileStatus status;
  if (!kvn_platform::fileStatus(kvn_platform::toNativePath(slot.readPath), status, nullptr) ||
      status.kind != kvn_platform::FileKind::Regular || !status.hasLastWrite ||
      status.size > kMaxFileSize)
    return std::nullopt;
  PreparedFile file;
  file.size_ = status.size;
  file.lastWrite_ = static_cast<std::int32_t>(status.lastWrite);
  file.signaturePath_ = kvn_agent_database::signatureFilePath(settings_.signaturesDir, slot.path,
                                                              file.lastWrite_, settings_.jobId);
  try {
    encode(slot.readPath, file);
  } catch (const std::exception& e) {
    // The ordinary way reads the file again and reports what fails.
    KLOG_D("%s not prepared ahead: %s", qPrintable(slot.readPath), e.what());
    return std::nullopt;
  }
  if (!file.ended_ || !writeSignaturePart(file)) return std::nullopt;
  return file;
}

void FilePreparer::encode(const QString& readPath, PreparedFile& file) {
  bool signatureEnded = false;
  RecordingSink signatureSink(file.signature_, nullptr, signatureEnded);
  RecordingSink payloadSink(file.payload_, &file.pieces_, file.ended_);
  kvn_rsync::SignatureEngine signature(kvn_rsync::blockLength(std::uint64_t(file.size_)));
  signature.setNext(&signatureSink);
  kvn_common::TeePipe tee(signature);
  kvn_common::FileSource source(settings_.stopFlag);
  kvn_common::StreamChain data;
  data.append(source).append(tee);
  PayloadCodecs codecs;
  codecs.appendTo(data, settings_.compress, cipher_.get());
  data.append(payloadSink);
  source.read(kvn_platform::toNativePath(readPath));
  if (!signatureEnded) file.ended_ = false;
}

bool FilePreparer::writeSignaturePart(PreparedFile& file) {
  if (settings_.folders && !settings_.folders->ensure(QFileInfo(file.signaturePath_).path()))
    return false;
  try {
    // Not flushed, as the ordinary way's signature is not: a short one is
    // found out and taken from the box again.
    file.signatureFile_ = std::make_unique<kvn_common::AtomicFileSink>(
        QFile::encodeName(file.signaturePath_).toStdString(),
        kvn_common::AtomicFileSink::Flush::None);
    file.signatureFile_->write(file.signature_.data(),
                               static_cast<std::uint32_t>(file.signature_.size()));
    return true;
  } catch (const std::exception&) {
    file.signatureFile_.reset();
    return false;
  }
}
