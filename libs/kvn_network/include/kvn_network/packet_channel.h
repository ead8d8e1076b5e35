// What a file transfer needs from a connection: send a packet, take the
// next packet of one of the three queues. The agent's NetClient and the box
// simulator's session both provide it, so both ends share one transfer code.
#pragma once

#include <atomic>

#include "kvn_network/netpacket.h"

namespace kvn_network {

class PacketChannel {
 public:
  virtual ~PacketChannel() = default;
  // False when the packet could not be handed to the socket.
  virtual bool SendPacket(NetPacket& packet, bool compress, bool encrypt) = 0;
  // Compresses and encrypts a packet ahead of sending, so that a sender can
  // do that work while it still waits for credit; the packet then goes out
  // with SendPacket(packet, false, false). False when this channel leaves
  // the transforms to SendPacket.
  virtual bool prepare(NetPacket& /*packet*/, bool /*compress*/, bool /*encrypt*/) { return false; }
  // While held, packets may be kept back and sent together once a receive
  // has to wait for the peer or the hold ends; for a run of small packets
  // that the peer answers once.
  virtual void holdSends(bool /*hold*/) {}
  // Each blocks until its queue holds a packet; failures are thrown.
  virtual NetPacket receivePacket() = 0;
  virtual NetPacket receiveControlPacket() = 0;
  virtual NetPacket receiveFilePacket() = 0;
};

}  // namespace kvn_network
