#include "boxsim/file_handlers.h"
#include "boxsim/session.h"
#include "kvn_log/log.h"

namespace boxsim {

bool FileReceiveHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  if (!packet.isFile()) {
    KLOG_W("Box: packet type 0x%08x without the file bit", packet.type());
    session.record().addUnhandled(packet.type());
    return false;
  }
  kvn_network::NetPacket first = packet;
  const std::uint32_t fileId = first.getUInt32();
  // The transfer reader starts with the first packet of the transfer.
  session.putBack(packet);
  session.receiveFile(packet.type(), fileId, keepData_);
  return true;
}

void addFileHandlers(Registry& registry, bool keepData) {
  registry.add(kFileDataType, std::make_shared<FileReceiveHandler>(keepData));
}

}  // namespace boxsim
