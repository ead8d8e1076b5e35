// The socket under a packet connection: reads through the ByteStream side,
// whole packets out through send(). The one kind in use is the plain POSIX
// socket (posix_socket.h), at the agent's end and at the box simulator's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kvn_network/byte_stream.h"

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
};

}  // namespace kvn_network
