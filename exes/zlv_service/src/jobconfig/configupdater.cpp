#include "jobconfig/configupdater.h"

#include "connection/credentials.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace {

// Reads the answer: a host text and, when present, a port. Throws on an
// answer that would leave the agent with an unusable datanode address.
std::pair<QString, int> readDatanode(kvn_network::NetPacket& answer) {
  if (answer.isError()) KVN_THROW_F("the box answered with an error packet");
  const QString host = answer.getString();
  int port = ConfigUpdater::kDefaultDatanodePort;
  try {
    port = answer.getInt32();
  } catch (const KvnNetPacketException&) {
    // An answer without the integer names the host only.
  }
  if (host.trimmed().isEmpty() || host.contains(u':') || port <= 0 || port > 0xFFFF)
    KVN_THROW_F("invalid datanode address '%s' port %d", qPrintable(host), port);
  return {host, port};
}

}  // namespace

ConfigUpdater::ConfigUpdater(Credentials& credentials, ZlvNetworkSettings settings)
    : credentials_(credentials), settings_(std::move(settings)) {}

ConfigUpdater::~ConfigUpdater() { stopAndWait(); }

void ConfigUpdater::run() {
  KLOG_I("Running ConfigUpdater task...");
  CZLVNetwork network(true, credentials_, settings_);
  std::uint32_t result = network.ConnectToServer();
  if (result != KVN_OK) {
    KLOG_E("ConnectToServer error: 0x%08x", result);
    return;
  }
  result = network.SendOperation("CLTCFG_INITIAL");
  if (result != KVN_OK) {
    KLOG_E("SendOperation error: 0x%08x", result);
    network.stop();
    return;
  }
  kvn_network::NetPacket request(kClientConfigRequestType);
  if (!network.SendPacket(request)) {
    KLOG_E("cannot send packet");
    network.stop();
    return;
  }
  try {
    kvn_network::NetPacket answer = network.receivePacket();
    const auto [host, port] = readDatanode(answer);
    KLOG_D("config.datanode: %s %d", qPrintable(host), port);
    emit newDatanode(host, port);
  } catch (const std::exception& e) {
    KLOG_E("Error receiving client config packet: %s", e.what());
  }
}
