#include "upgrade/updatecheck.h"

#include <sys/stat.h>

#include <QFile>

#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/upgrade_protocol.h"

namespace {

kvn_network::NetPacket versionPacket(const AgentVersion& version, bool reinstall) {
  const AgentVersion sent = reinstall ? AgentVersion{} : version;
  kvn_network::NetPacket packet(kvn_network::kVersionPacketType);
  packet.putInt32(sent.major);
  packet.putInt32(sent.minor);
  packet.putInt32(sent.patch);
  packet.putInt32(sent.build);
  packet.putUInt8(0);
  packet.putUInt8(0);
  packet.putString(QString::fromLatin1(kvn_network::kPlatformText));
  return packet;
}

// Any answer but a text "UPDATE" means that there is nothing to fetch.
bool offersUpdate(kvn_network::NetPacket& answer) {
  if (answer.isError()) return false;
  try {
    return answer.getString() == QLatin1String(kvn_network::kUpdateAnswer);
  } catch (const KvnCommonException&) {
    return false;
  }
}

}  // namespace

bool checkAndDownloadUpdate(const QString& path, bool reinstall, const AgentVersion& version,
                            const Credentials& credentials, const ZlvNetworkSettings& settings) {
  CZLVNetwork network(false, credentials, settings);
  if (const std::uint32_t result = network.ConnectToServer(); result != KVN_OK)
    KVN_THROW_F("ConnectToServer error %d", int(result));
  if (const std::uint32_t result = network.SendOperation(kvn_network::kVersionCheckOperation);
      result != KVN_OK)
    KVN_THROW_F("SendOperation error %d", int(result));
  kvn_network::NetPacket request = versionPacket(version, reinstall);
  if (!network.SendPacket(request)) KVN_THROW_F("Send version packet Failed");

  kvn_network::NetPacket answer = network.receivePacket();
  if (!offersUpdate(answer)) {
    network.stop();
    return false;
  }
  kvn_network::NetPacket fileRequest(kvn_network::kUpdateFileRequestType);
  if (!network.SendPacket(fileRequest)) KVN_THROW_F("Error sending packet");

  KLOG_I("update filepath: %s", qPrintable(path));
  // A program from an earlier offer is replaced, never appended to.
  QFile::remove(path);
  network.receiveFile(path);
  if (::chmod(QFile::encodeName(path).constData(), 0700) != 0)
    KVN_THROW_F("cannot make %s executable", qPrintable(path));
  network.receivePacket();
  network.stop();
  return true;
}
