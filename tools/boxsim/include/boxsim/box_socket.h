// The box's end of one TCP connection, driven with plain system calls on a
// blocking descriptor. Whatever has arrived is taken in one read into a
// buffer and the frame reader takes packets from there; a large packet
// body is read straight into its destination. Every answer leaves in one
// write. The box answers one request at a time, so this costs one read and
// one write per exchange, where a Qt socket also polls and asks the kernel
// how much is waiting before every read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kvn_network/byte_stream.h"

namespace boxsim {

class BoxSocket : public kvn_network::ByteStream {
 public:
  // Takes the descriptor over (closed with this object). Reads and writes
  // give up after timeoutMs without progress.
  BoxSocket(int descriptor, int timeoutMs);
  ~BoxSocket() override;
  BoxSocket(const BoxSocket&) = delete;
  BoxSocket& operator=(const BoxSocket&) = delete;

  // False when the descriptor could not be set up (logged).
  bool valid() const { return descriptor_ >= 0; }

  bool isOpen() const override { return open_; }
  std::int64_t peek(char* data, std::int64_t size) override;
  std::int64_t read(char* data, std::int64_t size) override;
  std::int64_t bytesAvailable() const override { return static_cast<std::int64_t>(end_ - begin_); }
  bool waitForReadyRead(int ms) override;

  // Hands all of data to the kernel; false (logged) when the connection
  // broke or the peer took nothing for the timeout. After a failure every
  // later write fails at once.
  bool writeAll(const std::uint8_t* data, std::size_t size);

  // Reads nothing and returns once the peer has closed its end (or this
  // connection was shut down).
  void waitForPeerToLeave();
  // Ends the conversation politely: what was written goes out followed by
  // the end of the stream, and whatever the peer still sends within a
  // second is read and dropped, so that closing does not reset the
  // connection under an answer the peer has yet to read.
  void finish();

 private:
  // One read of whatever has arrived into the buffer, waiting up to ms.
  bool fill(int ms);
  // The outcome of a read call: true when bytes came.
  bool took(long got, const char* what);

  int descriptor_ = -1;
  int timeoutMs_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool open_ = false;
  bool writable_ = false;
  // A read into the caller's memory ran out of time: the wait that
  // follows reports it instead of waiting a second time.
  bool timedOut_ = false;
};

}  // namespace boxsim
