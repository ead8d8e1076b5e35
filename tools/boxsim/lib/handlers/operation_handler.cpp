#include "boxsim/operation_handlers.h"
#include "boxsim/session.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

bool OperationHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket request = packet;
  AnnouncedOperation operation;
  operation.packetType = request.type();
  try {
    const std::uint32_t licenseAgent = request.getUInt32();
    const std::uint32_t licenseStorage = request.getUInt32();
    operation.name = request.getString();
    const std::uint32_t trailer = request.getUInt32();
    operation.fields << QString::number(licenseAgent) << QString::number(licenseStorage)
                     << QString::number(trailer);
  } catch (const KvnCommonException& e) {
    // A box drops an agent that cannot even announce what it wants.
    KLOG_E("boxsim: malformed operation packet: %s", e.what());
    session.record().addNote("malformed operation");
    return false;
  }
  session.record().addOperation(operation);
  KLOG_I("boxsim: operation '%s' (agent %s, storage %s)", qPrintable(operation.name),
         qPrintable(operation.fields.value(0)), qPrintable(operation.fields.value(1)));

  kvn_network::NetPacket answer(answer_.type);
  if (answer_.error) {
    answer.setError();
    answer.putUInt32(answer_.code);
  }
  return session.send(answer, true, true);
}

}  // namespace boxsim
