// The simulator's extension point: every conversation the box takes part in
// is a small handler registered by the packet type that opens it, so that a
// new conversation is a new file, not a new branch in a switch.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

namespace kvn_network {
class NetPacket;
}

namespace boxsim {

class BoxSession;

class Handler {  // one conversation; small, registered by packet type
 public:
  virtual ~Handler() = default;
  // Answers one packet of a type this handler was registered for. Returns
  // false to end the connection.
  virtual bool handle(BoxSession& session, const kvn_network::NetPacket& packet) = 0;
};

// Packet type -> handler. Filled before the simulator starts and only read
// afterwards, so the sessions' threads share it without a lock.
class Registry {
 public:
  // A later add for the same type replaces the earlier handler.
  void add(std::uint32_t packetType, std::shared_ptr<Handler> handler);
  // nullptr when no handler is registered for the type.
  Handler* find(std::uint32_t packetType) const;

 private:
  std::map<std::uint32_t, std::shared_ptr<Handler>> handlers_;
};

}  // namespace boxsim
