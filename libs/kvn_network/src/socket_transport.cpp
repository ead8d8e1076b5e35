#include "kvn_network/socket_transport.h"

#include <QTcpSocket>

namespace kvn_network {

QtSocketTransport::QtSocketTransport(std::unique_ptr<QTcpSocket> socket)
    : socket_(std::move(socket)) {
  // Every exchange is a small request and a small answer: without this the
  // kernel holds the short packets back waiting for acknowledgements, which
  // costs tens of milliseconds per answer.
  socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

QtSocketTransport::~QtSocketTransport() = default;

bool QtSocketTransport::isOpen() const {
  // Qt keeps the device open after the peer has gone so that buffered bytes
  // can still be read; for waiting, only a live connection counts.
  return socket_->isOpen() && socket_->state() == QAbstractSocket::ConnectedState;
}

std::int64_t QtSocketTransport::peek(char* data, std::int64_t size) {
  return socket_->peek(data, size);
}

std::int64_t QtSocketTransport::read(char* data, std::int64_t size) {
  return socket_->read(data, size);
}

std::int64_t QtSocketTransport::bytesAvailable() const { return socket_->bytesAvailable(); }

bool QtSocketTransport::waitForReadyRead(int ms) { return socket_->waitForReadyRead(ms); }

bool QtSocketTransport::send(const std::uint8_t* data, std::size_t size) {
  if (socket_->write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) == -1)
    return false;
  // Hands what it can to the kernel now; the rest leaves while we wait.
  socket_->flush();
  return true;
}

void QtSocketTransport::close(int timeoutMs) {
  // Without an event loop, queued bytes only leave while we wait for them.
  while (socket_->state() == QAbstractSocket::ConnectedState && socket_->bytesToWrite() > 0) {
    if (!socket_->waitForBytesWritten(timeoutMs)) break;
  }
  socket_->disconnectFromHost();
  if (socket_->state() != QAbstractSocket::UnconnectedState) socket_->waitForDisconnected(1000);
}

void QtSocketTransport::abort() { socket_->abort(); }

std::string QtSocketTransport::errorString() const { return socket_->errorString().toStdString(); }

}  // namespace kvn_network
