#include <algorithm>
#include <cstdio>
#include <vector>

#include "kvn_log/log.h"
#include "kvn_network/file_transfer.h"
#include "net_error.h"

namespace kvn_network {

namespace {

// The abort tells the box why the transfer ends; when even that fails, the
// reason the caller gets must still be the original one.
void abortQuietly(FileSender& sender) {
  try {
    sender.abort();
  } catch (const KvnCommonException& e) {
    KLOG_E("%s", e.what());
  }
}

}  // namespace

class NetFileController::BusyGuard {
 public:
  explicit BusyGuard(std::atomic<bool>& busy) : busy_(busy) {
    bool expected = false;
    if (!busy_.compare_exchange_strong(expected, true))
      throw KvnCommonException(KVN_HERE, "Thread is already running");
  }
  ~BusyGuard() { busy_ = false; }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  std::atomic<bool>& busy_;
};

void NetFileController::sendFile(const QString& path, std::uint32_t type, std::uint32_t fileId,
                                 bool encrypt, bool compress) {
  BusyGuard guard(busy_);
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    KLOG_E("Error opening file to be sent: %s", path.toUtf8().constData());
    FileSender sender(channel_, "?", type, fileId, 0, encrypt, compress);
    abortQuietly(sender);
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "Failed to open file to be sent");
  }
  sendOpenFile(file, type, fileId, encrypt, compress);
}

void NetFileController::sendOpenFile(QFile& file, std::uint32_t type, std::uint32_t fileId,
                                     bool encrypt, bool compress) {
  const qint64 size = file.size();
  KLOG_D("Sending file of size %lld", static_cast<long long>(size));
  FileSender sender(channel_, "?", type, fileId, static_cast<std::uint64_t>(size), encrypt,
                    compress);
  // No larger than the file: a signature of a small file is a few bytes.
  std::vector<char> block(static_cast<std::size_t>(std::clamp<qint64>(size, 1, kFileBlockSize)));
  std::uint64_t offset = 0;
  for (;;) {
    const qint64 n = file.read(block.data(), static_cast<qint64>(block.size()));
    if (n < 0) {
      abortQuietly(sender);
      KLOG_E("Error while reading file: %s", file.errorString().toUtf8().constData());
      KVN_NET_THROW(KVN_E_SERVER, "Failed to read file: %d", static_cast<int>(file.error()));
    }
    if (n == 0) break;
    sendChunk(sender, offset, block.data(), static_cast<std::uint32_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  sender.finish();
}

void NetFileController::sendBytes(const char* data, std::size_t size, std::uint32_t type,
                                  std::uint32_t fileId, bool encrypt, bool compress) {
  BusyGuard guard(busy_);
  KLOG_D("Sending file of size %llu", static_cast<unsigned long long>(size));
  FileSender sender(channel_, "?", type, fileId, size, encrypt, compress);
  for (std::size_t offset = 0; offset < size;) {
    const auto n = static_cast<std::uint32_t>(
        std::min<std::size_t>(size - offset, static_cast<std::size_t>(kFileBlockSize)));
    sendChunk(sender, offset, data + offset, n);
    offset += n;
  }
  sender.finish();
}

void NetFileController::sendChunk(FileSender& sender, std::uint64_t offset, const char* data,
                                  std::uint32_t size) {
  if (stop_) {
    KLOG_W("Stop by user");
    abortQuietly(sender);
    throw KvnCommonException(KVN_HERE, KVN_E_STOPPED, "Failed to open file: interrupted by user");
  }
  sender.sendChunk(offset, data, size, false);
}

void NetFileController::receiveFile(const QString& path) {
  if (path.isEmpty()) throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error arguments");
  BusyGuard guard(busy_);
  KLOG_D("Receiving file %s", path.toUtf8().constData());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    const QString reason = file.errorString();
    // The transfer is on its way regardless; take it off the connection.
    NetPacket packet = channel_.receiveFilePacket();
    if (!packet.isEnd() && packet.isFile()) refuseTransfer(channel_, packet.getUInt32());
    char text[KvnCommonException::kMessageSize];
    std::snprintf(text, sizeof text, "ReceiveFile failed to open file %s",
                  path.toUtf8().constData());
    KLOG_E("%s (%s)", text, reason.toUtf8().constData());
    throw KvnQFileException(KVN_HERE, KVN_E_SERVER, text);
  }
  FileReceiver receiver(channel_, stop_);
  const std::uint32_t result = receiver.receiveData(file);
  if (result != KVN_OK) KVN_NET_THROW(result, "receiveData failed: %d", static_cast<int>(result));
}

void NetFileController::receiveFile(QFile& file) {
  BusyGuard guard(busy_);
  KLOG_D("Receiving file %s", file.fileName().toUtf8().constData());
  FileReceiver receiver(channel_, stop_);
  const std::uint32_t result = receiver.receiveData(file);
  if (result != KVN_OK) KVN_NET_THROW(result, "receiveData failed: %d", static_cast<int>(result));
}

void NetFileController::discardFile() {
  BusyGuard guard(busy_);
  FileReceiver receiver(channel_, stop_);
  const std::uint32_t result = receiver.discardData();
  if (result != KVN_OK) KVN_NET_THROW(result, "receiveData failed: %d", static_cast<int>(result));
}

}  // namespace kvn_network
