#include "boxsim/file_handlers.h"
#include "boxsim/session.h"

namespace boxsim {

bool FileSendHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket request = packet;
  const std::uint32_t fileId = request.getUInt32();
  session.sendFile(packet.type(), fileId, content_, compress_, encrypt_, chunkSize_);
  return true;
}

}  // namespace boxsim
