// The box's side of a connection, played from a script: the packets it
// sends are queued up front, what the agent sends is dropped. Once the
// script is used up the connection counts as closed: receives throw and
// sends fail. Shared by the answer fuzzer and the tests of the agent's
// conversations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_network/packet_channel.h"

namespace kvn_test {

class ScriptedChannel : public kvn_network::PacketChannel {
 public:
  ScriptedChannel() = default;
  // Packets from bytes, each: u8 cfg (only the file, end, error and control
  // bits count), u32 type, u16 payload size, the payload (little-endian); a
  // payload cut short by the end of the bytes is taken as it is.
  ScriptedChannel(const std::uint8_t* data, std::size_t size) {
    namespace cfg = kvn_network::packet_cfg;
    constexpr std::size_t kRecordHeader = 7;
    std::size_t at = 0;
    while (size - at >= kRecordHeader) {
      const std::uint8_t flags = data[at] & (cfg::kFile | cfg::kEnd | cfg::kError | cfg::kControl);
      const std::size_t length = std::size_t(data[at + 5]) | std::size_t(data[at + 6]) << 8;
      const std::uint8_t* type = data + at + 1;
      at += kRecordHeader;
      const std::size_t payload = length < size - at ? length : size - at;
      const auto total = std::uint32_t(kvn_network::kPacketHeaderSize + payload);
      kvn_network::NetPacket::Bytes bytes{flags,
                                          type[0],
                                          type[1],
                                          type[2],
                                          type[3],
                                          std::uint8_t(total),
                                          std::uint8_t(total >> 8),
                                          std::uint8_t(total >> 16),
                                          std::uint8_t(total >> 24)};
      bytes.insert(bytes.end(), data + at, data + at + payload);
      at += payload;
      push(kvn_network::NetPacket::fromBytes(std::move(bytes)));
    }
  }

  // Into the queue the receiver would sort it into, as it would arrive:
  // read from its start.
  void push(const kvn_network::NetPacket& built) {
    kvn_network::NetPacket packet = kvn_network::NetPacket::fromBytes(built.bytes());
    (packet.isFile()      ? file_
     : packet.isControl() ? control_
                          : general_)
        .push_back(std::move(packet));
  }
  std::size_t sent() const { return sent_; }

  bool SendPacket(kvn_network::NetPacket&, bool, bool) override {
    ++sent_;
    return !(general_.empty() && file_.empty() && control_.empty());
  }
  kvn_network::NetPacket receivePacket() override { return next(general_); }
  kvn_network::NetPacket receiveControlPacket() override { return next(control_); }
  kvn_network::NetPacket receiveFilePacket() override { return next(file_); }

 private:
  static kvn_network::NetPacket next(std::deque<kvn_network::NetPacket>& queue) {
    if (queue.empty()) throw KvnCommonException(KVN_HERE, KVN_E_SOCKET_CLOSED, "closed");
    kvn_network::NetPacket packet = std::move(queue.front());
    queue.pop_front();
    return packet;
  }

  std::deque<kvn_network::NetPacket> general_;
  std::deque<kvn_network::NetPacket> file_;
  std::deque<kvn_network::NetPacket> control_;
  std::size_t sent_ = 0;
};

}  // namespace kvn_test
