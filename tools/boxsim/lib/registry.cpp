#include "boxsim/handler.h"

namespace boxsim {

void Registry::add(std::uint32_t packetType, std::shared_ptr<Handler> handler) {
  handlers_[packetType] = std::move(handler);
}

Handler* Registry::find(std::uint32_t packetType) const {
  const auto it = handlers_.find(packetType);
  return it == handlers_.end() ? nullptr : it->second.get();
}

}  // namespace boxsim
