// The finder's UDP socket: IPv4, any address and an ephemeral port,
// non-blocking, joined to the mDNS group with its own datagrams looped
// back. Closed when the object goes.
#pragma once

#include <optional>
#include <string>

#include "kvn_mdns/dns_message.h"

namespace kvn_mdns {

class MulticastSocket {
 public:
  MulticastSocket() = default;
  ~MulticastSocket() { close(); }
  MulticastSocket(const MulticastSocket&) = delete;
  MulticastSocket& operator=(const MulticastSocket&) = delete;

  // On failure, error holds the system's text and the socket is closed.
  bool open(std::string& error);
  bool sendToGroup(ByteView message, std::string& error);
  // One datagram, or an empty result when none is waiting or on an error
  // (then error is set).
  std::optional<Bytes> receive(std::string& error);
  void close();

 private:
  bool fail(std::string& error);

  int fd_ = -1;
};

}  // namespace kvn_mdns
