#include "fileops/boxrequest.h"

#include "kvn_log/errors.h"
#include "kvn_log/log.h"

namespace fileops {

std::uint32_t sendBuilt(CZLVNetwork& network, std::uint32_t type,
                        const std::function<void(kvn_network::NetPacket&)>& fill,
                        const char* buildFailure, const char* sendFailure) {
  kvn_network::NetPacket packet(type);
  try {
    fill(packet);
  } catch (const std::exception& e) {
    KLOG_E("%s: %s", buildFailure, e.what());
    return KVN_E_EXCEPTION;
  }
  if (!network.SendPacket(packet)) {
    KLOG_E("%s", sendFailure);
    return KVN_E_NETWORK;
  }
  return KVN_OK;
}

std::optional<kvn_network::NetPacket> receiveLogged(CZLVNetwork& network, const char* failure) {
  try {
    return network.receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("%s: %s", failure, e.what());
    return std::nullopt;
  }
}

std::uint32_t receiveCount(CZLVNetwork& network, const char* failure, std::int32_t* count) {
  auto answer = receiveLogged(network, failure);
  if (!answer) return KVN_E_NETWORK;
  if (answer->isError()) {
    KLOG_E("Error: the box refused the count: 0x%08x", errorCode(*answer));
    return KVN_E_SERVER_STATUS;
  }
  try {
    *count = answer->getInt32();
  } catch (const std::exception& e) {
    KLOG_E("%s: %s", failure, e.what());
    return KVN_E_NETWORK;
  }
  return KVN_OK;
}

std::uint32_t errorCode(kvn_network::NetPacket& answer) {
  try {
    return answer.getUInt32();
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace fileops
