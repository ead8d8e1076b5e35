// The socket under a packet connection: reads through the ByteStream side,
// whole packets out through send(). Two kinds: a QTcpSocket (the box
// simulator's sessions, which take their sockets from a QTcpServer) and a
// plain POSIX socket (the agent, see posix_socket.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kvn_network/byte_stream.h"

class QTcpSocket;

namespace kvn_network {

class SocketTransport : public ByteStream {
 public:
  // Hands the bytes of one packet over; they may wait in the transport
  // until the next read has to wait for the peer. False when the socket
  // failed or is closed (errorString() says why).
  virtual bool send(const std::uint8_t* data, std::size_t size) = 0;
  // Pushes out what waits, within timeoutMs, then closes the connection.
  virtual void close(int timeoutMs) = 0;
  // Closes at once, dropping what waits.
  virtual void abort() = 0;
  virtual std::string errorString() const = 0;
  // While held, a transport may keep sends back until a read has to wait
  // for the peer or the hold ends; one that cannot sends at once.
  virtual void holdSends(bool /*hold*/) {}
  // The Qt socket underneath, or null for another kind.
  virtual QTcpSocket* qtSocket() { return nullptr; }
};

// A blocking QTcpSocket used without an event loop.
class QtSocketTransport : public SocketTransport {
 public:
  explicit QtSocketTransport(std::unique_ptr<QTcpSocket> socket);
  ~QtSocketTransport() override;

  bool isOpen() const override;
  std::int64_t peek(char* data, std::int64_t size) override;
  std::int64_t read(char* data, std::int64_t size) override;
  std::int64_t bytesAvailable() const override;
  bool waitForReadyRead(int ms) override;

  bool send(const std::uint8_t* data, std::size_t size) override;
  void close(int timeoutMs) override;
  void abort() override;
  std::string errorString() const override;
  QTcpSocket* qtSocket() override { return socket_.get(); }

 private:
  std::unique_ptr<QTcpSocket> socket_;
};

}  // namespace kvn_network
