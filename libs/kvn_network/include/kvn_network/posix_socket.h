// A connected TCP socket used from one thread with blocking calls and no
// event loop: each wait for the peer is a single recv() into a buffer that
// the frame reader then takes packets from, and each packet leaves with a
// single send. While sends are held, packets wait in memory and leave
// together, in one call, when a read has to wait for the peer, when the
// hold ends or when they would pass kHeldLimit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kvn_network/socket_transport.h"

namespace kvn_network {

class PosixSocket : public SocketTransport {
 public:
  static constexpr std::size_t kReceiveBuffer = 0x40000;
  static constexpr std::size_t kHeldLimit = 0x10000;

  // Connects to host (a name or an address) within timeoutMs, with
  // TCP_NODELAY set and sends limited to sendTimeoutMs. Null with the
  // errno of the failure in error when no address accepts.
  static std::unique_ptr<PosixSocket> connectTo(const std::string& host, std::uint16_t port,
                                                int timeoutMs, int sendTimeoutMs, int& error);
  // Adopts a connected socket.
  PosixSocket(int fd, int sendTimeoutMs);
  ~PosixSocket() override;
  PosixSocket(const PosixSocket&) = delete;
  PosixSocket& operator=(const PosixSocket&) = delete;

  bool isOpen() const override { return !closed_; }
  std::int64_t peek(char* data, std::int64_t size) override;
  std::int64_t read(char* data, std::int64_t size) override;
  std::int64_t bytesAvailable() const override { return static_cast<std::int64_t>(end_ - begin_); }
  bool waitForReadyRead(int ms) override;

  bool send(const std::uint8_t* data, std::size_t size) override;
  void close(int timeoutMs) override;
  void abort() override;
  std::string errorString() const override { return error_; }

  // Sends wait in memory while held; ending the hold sends them.
  void holdSends(bool hold) override;
  std::size_t heldBytes() const { return held_.size(); }

 private:
  // Sends what is held, then size more bytes from data, in one call when
  // the kernel takes them. False after recording the error.
  bool sendNow(const std::uint8_t* data, std::size_t size);
  void fail(int error);

  int fd_;
  bool closed_ = false;
  bool holding_ = false;
  std::string error_;
  // The receive timeout set on the socket, so that it is set only when it
  // changes.
  int receiveTimeoutMs_ = -1;
  std::vector<char> in_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::vector<std::uint8_t> held_;
};

}  // namespace kvn_network
