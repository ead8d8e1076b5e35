// A connected TCP socket used from one thread with blocking calls and no
// event loop, at either end of a connection (the agent connects, the box
// simulator adopts what its listener accepted): each wait for the peer is a
// single recv() into a buffer that the frame reader then takes packets
// from, the rest of a large packet is read straight into its place, and
// each packet leaves with a single send. While sends are held, packets wait
// in memory and leave together, in one call, when a read has to wait for
// the peer, when the hold ends or when they would pass kHeldLimit.
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
  // Below this much free room at its end, the buffer's unread bytes move
  // to the front before the next read.
  static constexpr std::size_t kMinimumRoom = 0x4000;
  // Reads at least this large skip the buffer when it is empty.
  static constexpr std::int64_t kDirectRead = 0x10000;

  // Connects to host (a name or an address) within timeoutMs, with
  // TCP_NODELAY set and sends limited to sendTimeoutMs. Null with the
  // errno of the failure in error when no address accepts.
  static std::unique_ptr<PosixSocket> connectTo(const std::string& host, std::uint16_t port,
                                                int timeoutMs, int sendTimeoutMs, int& error);
  // Takes over a connection a listener accepted: made blocking, with
  // TCP_NODELAY and sends limited to sendTimeoutMs. Null (logged, the
  // descriptor closed) when it cannot be set up.
  static std::unique_ptr<PosixSocket> adoptAccepted(int fd, int sendTimeoutMs);
  // Adopts a connected blocking socket.
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

  // Reads nothing and returns once the peer has closed its end, or the
  // connection was shut down under it; the socket counts as closed after.
  void waitForPeerToLeave();
  // Ends the conversation politely but keeps the descriptor (closed with
  // this object or by abort()): what is held goes out within timeoutMs,
  // then the end of the stream, and whatever the peer still sends within a
  // second is read and dropped, so that closing does not reset the
  // connection under an answer the peer has yet to read.
  void finish(int timeoutMs);

 private:
  // Sends what is held, then size more bytes from data, in one call when
  // the kernel takes them. False after recording the error.
  bool sendNow(const std::uint8_t* data, std::size_t size);
  // One read straight into the caller's memory, all of size unless the
  // time runs out or the connection ends.
  std::int64_t readDirect(char* data, std::int64_t size);
  bool setReceiveTimeout(int ms);
  void fail(int error);
  void peerClosed();

  int fd_;
  bool closed_ = false;
  bool holding_ = false;
  std::string error_;
  // The receive timeout set on the socket, so that it is set only when it
  // changes.
  int receiveTimeoutMs_ = -1;
  // A direct read ran out of time: the wait that follows reports it
  // instead of waiting a second time.
  bool timedOut_ = false;
  std::vector<char> in_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::vector<std::uint8_t> held_;
};

}  // namespace kvn_network
