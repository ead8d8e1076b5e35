#include <algorithm>
#include <chrono>
#include <thread>

#include "boxsim/operation_handlers.h"
#include "boxsim/session.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/net_receiver.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

bool BoxTestHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket request = packet;
  std::int32_t seconds = 0;
  try {
    seconds = request.getInt32();
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: malformed box test packet: %s", e.what());
    return false;
  }
  AnnouncedOperation operation;
  operation.packetType = request.type();
  operation.name = "BoxScalabilityTest";
  operation.fields << QString::number(seconds);
  session.record().addOperation(operation);
  KLOG_I("boxsim: box test of %d s", static_cast<int>(seconds));

  const int wait = std::clamp(seconds, 0, maxSeconds_);
  for (int i = 0; i < wait; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kvn_network::NetPacket ping(kvn_network::kPingPacketType);
    if (!session.send(ping)) return false;
  }
  KLOG_I("boxsim: box test done");
  kvn_network::NetPacket answer(kBoxTestType);
  answer.putUInt32(0);
  return session.send(answer, true, true);
}

}  // namespace boxsim
