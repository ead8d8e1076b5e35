#include "backup/actionanswer.h"

#include "backup/file/selection.h"
#include "connection/zlvnetwork.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/backup_protocol.h"

using kvn_network::NetPacket;
namespace backup_type = kvn_network::backup_type;
namespace box_code = kvn_network::box_code;

ActionAnswer readActionAnswer(CZLVNetwork& network, const char* action) {
  ActionAnswer answer;
  try {
    NetPacket packet = network.receivePacket();
    if (!packet.isError()) return answer;
    const std::uint32_t code = packet.getUInt32();
    if (code == box_code::kQuota) {
      KLOG_E("Quota or package limit exceeded!");
      answer.limitExceeded = true;
      answer.result = KVN_E_ACTION_REFUSED;
      return answer;
    }
    KLOG_E("SendBackupAction %s: Server side error (%d)", action, int(code));
    answer.result = KVN_E_INVALID_REPLY;
  } catch (const std::exception& e) {
    KLOG_E("error while receiving backup action OK: '%s'", e.what());
    answer.result = KVN_E_NETWORK;
  }
  return answer;
}

ActionAnswer readPrepAnswer(CZLVNetwork& network) {
  ActionAnswer answer;
  NetPacket packet;
  try {
    packet = network.receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("error while receiving backup action OK: '%s'", e.what());
    answer.result = KVN_E_NETWORK;
    return answer;
  }
  try {
    if (packet.isError()) {
      const std::uint32_t code = packet.getUInt32();
      if (code == box_code::kNotPermitted)
        throw KvnNotPermittedException(KVN_HERE, "Backup not permitted");
      KLOG_E("SendBackupAction %s: Server side error (%d)", "PREP", int(code));
      answer.result = KVN_E_INVALID_REPLY;
      return answer;
    }
    if (packet.type() != backup_type::kReport) return answer;
    QStringList paths = packet.getStringList();
    for (auto& path : paths) path = fromWirePath(path);
    answer.sendAgain = std::move(paths);
  } catch (const KvnNotPermittedException&) {
    throw;
  } catch (const std::exception& e) {
    KLOG_E("error while receiving backup action OK: '%s'", e.what());
    answer.result = KVN_E_NETWORK;
  }
  return answer;
}

std::uint32_t readFinalAnswer(CZLVNetwork& network) {
  try {
    NetPacket packet = network.receivePacket();
    if (!packet.isError()) return KVN_OK;
    KLOG_E("Error server side: %d", int(packet.getUInt32()));
    return KVN_E_INVALID_REPLY;
  } catch (const std::exception& e) {
    KLOG_E("CheckBackupResPacket error: '%s'", e.what());
    return KVN_E_NETWORK;
  }
}
