// What the frame reader needs from a socket: peek, read and wait. The
// socket transports (socket_transport.h) serve the connections; the memory
// adapter lets the frame reader be fed from a buffer (fuzzing, tests).
#pragma once

#include <QByteArray>
#include <cstdint>

namespace kvn_network {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // False once the connection is gone; buffered bytes may still be read.
  virtual bool isOpen() const = 0;
  // Both return the byte count, or -1 on a socket error.
  virtual std::int64_t peek(char* data, std::int64_t size) = 0;
  virtual std::int64_t read(char* data, std::int64_t size) = 0;
  virtual std::int64_t bytesAvailable() const = 0;
  // Waits up to ms for more bytes; false when none came.
  virtual bool waitForReadyRead(int ms) = 0;
};

// A peer that sent these bytes and then closed the connection.
class MemoryStream : public ByteStream {
 public:
  explicit MemoryStream(QByteArray bytes) : bytes_(std::move(bytes)) {}
  bool isOpen() const override { return false; }
  std::int64_t peek(char* data, std::int64_t size) override;
  std::int64_t read(char* data, std::int64_t size) override;
  std::int64_t bytesAvailable() const override { return bytes_.size() - position_; }
  bool waitForReadyRead(int) override { return false; }

 private:
  QByteArray bytes_;
  std::int64_t position_ = 0;
};

}  // namespace kvn_network
