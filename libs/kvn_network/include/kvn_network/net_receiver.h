// Reads whole frames from a connection, undoes encryption and compression,
// drops pings and sorts packets into the general, control and file queues.
// There is no receive thread: whoever wants a packet of one queue reads
// frames on its own thread until that queue holds one.
#pragma once

#include <deque>

#include "kvn_network/byte_stream.h"
#include "kvn_network/netpacket.h"

namespace kvn_compression {
class Compressor;
}
namespace kvn_crypto {
class Crypto;
}

namespace kvn_network {

inline constexpr std::uint32_t kPingPacketType = 8;

class NetReceiver {
 public:
  enum Queue { General = 0, Control = 1, File = 2 };

  NetReceiver(kvn_compression::Compressor& compressor, int receiveTimeoutMs);

  // The stream may be null (no socket: every read throws "Socket reset");
  // the crypto may be null (packets are then kept as received).
  void setStream(ByteStream* stream) { stream_ = stream; }
  void setCrypto(kvn_crypto::Crypto* crypto) { crypto_ = crypto; }

  // Reads one frame and queues it (or drops it when it is a ping).
  void readFrame();
  // The oldest packet of the queue, reading frames until there is one.
  NetPacket receive(Queue queue);
  // The oldest packet of the first non-empty queue (general, file,
  // control), reading a frame when all are empty.
  NetPacket receiveAny();
  // Puts a packet taken by receiveAny back at the front of its queue.
  void putBack(NetPacket packet);

  std::size_t queued(Queue queue) const { return queues_[queue].size(); }
  static Queue queueOf(const NetPacket& packet);

 private:
  // Peeks or reads until needed bytes are there (the wait rule).
  std::int64_t waitFor(std::int64_t got, std::int64_t needed);
  void readExactly(char* data, std::int64_t size);

  kvn_compression::Compressor& compressor_;
  int receiveTimeoutMs_;
  ByteStream* stream_ = nullptr;
  kvn_crypto::Crypto* crypto_ = nullptr;
  std::deque<NetPacket> queues_[3];
};

}  // namespace kvn_network
