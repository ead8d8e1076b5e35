#include "kvn_network/byte_stream.h"

#include <QTcpSocket>
#include <algorithm>
#include <cstring>

namespace kvn_network {

bool SocketStream::isOpen() const {
  // Qt keeps the device open after the peer has gone so that buffered bytes
  // can still be read; for waiting, only a live connection counts.
  return socket_.isOpen() && socket_.state() == QAbstractSocket::ConnectedState;
}

std::int64_t SocketStream::peek(char* data, std::int64_t size) { return socket_.peek(data, size); }

std::int64_t SocketStream::read(char* data, std::int64_t size) { return socket_.read(data, size); }

std::int64_t SocketStream::bytesAvailable() const { return socket_.bytesAvailable(); }

bool SocketStream::waitForReadyRead(int ms) { return socket_.waitForReadyRead(ms); }

std::int64_t MemoryStream::peek(char* data, std::int64_t size) {
  const std::int64_t n = std::min<std::int64_t>(size, bytes_.size() - position_);
  if (n > 0) std::memcpy(data, bytes_.constData() + position_, static_cast<std::size_t>(n));
  return n;
}

std::int64_t MemoryStream::read(char* data, std::int64_t size) {
  const std::int64_t n = peek(data, size);
  position_ += n;
  return n;
}

}  // namespace kvn_network
