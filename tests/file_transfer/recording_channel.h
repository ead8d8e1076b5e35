// A connection without a peer: it keeps what is sent and hands out packets
// the test queued, so that packet-by-packet behaviour can be checked.
#pragma once

#include <deque>
#include <vector>

#include "kvn_log/exception.h"
#include "kvn_network/file_transfer.h"

namespace kvn_test {

class RecordingChannel : public kvn_network::PacketChannel {
 public:
  bool SendPacket(kvn_network::NetPacket& packet, bool compress, bool encrypt) override {
    // Read back from the start, as the peer would.
    sent.push_back(kvn_network::NetPacket::fromBytes(packet.bytes()));
    compressed.push_back(compress);
    encrypted.push_back(encrypt);
    return !failSends;
  }
  kvn_network::NetPacket receivePacket() override { return take(general); }
  kvn_network::NetPacket receiveControlPacket() override { return take(control); }
  kvn_network::NetPacket receiveFilePacket() override { return take(files); }

  // An acknowledgement as the receiver sends it.
  void grant(std::uint32_t fileId) {
    kvn_network::NetPacket p(kvn_network::kTransferControlType);
    p.setControl();
    p.setEnd();
    p.putUInt32(fileId);
    p.putUInt64(0x40000);
    control.push_back(p);
  }

  std::vector<kvn_network::NetPacket> sent;
  std::vector<bool> compressed;
  std::vector<bool> encrypted;
  std::deque<kvn_network::NetPacket> general, control, files;
  bool failSends = false;

 private:
  static kvn_network::NetPacket take(std::deque<kvn_network::NetPacket>& queue) {
    // An empty queue stands for a peer that never answers.
    if (queue.empty()) throw KvnCommonException(KVN_HERE, KVN_E_NETWORK, "Connection timed out");
    kvn_network::NetPacket p = kvn_network::NetPacket::fromBytes(queue.front().bytes());
    queue.pop_front();
    return p;
  }
};

// The file header of a sent packet.
struct Header {
  std::uint32_t fileId;
  std::string name;
  std::uint32_t chunk;
  std::uint64_t offset;
  std::uint64_t total;
  std::uint32_t size;

  static Header of(kvn_network::NetPacket p) {
    Header h{};
    h.fileId = p.getUInt32();
    h.name = p.getStdString();
    h.chunk = p.getUInt32();
    h.offset = p.getUInt64();
    h.total = p.getUInt64();
    h.size = p.getUInt32();
    return h;
  }
};

}  // namespace kvn_test
