#include "connection/zlvnetwork.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QStringList>
#include <QTcpSocket>
#include <iterator>

#include "connection/credentials.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_log/report.h"
#include "kvn_network/net_client.h"

namespace {

using kvn_network::NetPacket;

QByteArray local8(const QString& text) { return text.toLocal8Bit(); }

constexpr const char* kOperationNames[] = {
    "INITIAL",
    "BCK_INITIAL",
    "BCK_FILE_STATUS",
    "BCK_NEW_VERSION",
    "BCK_NEW_VERSION2",
    "BCK_NEW_FILE",
    "BCK_SCRIPT_OUTPPUT",
    "BCK_FINAL",
    "RST_INITIAL",
    "RST_FILE_STATUS",
    "RST_FINAL",
    "EXTRST_INITIAL",
    "EXTRST_FILE_STATUS",
    "EXTRST_FINAL",
    "WEBRST_INITIAL",
    "CLTVER_INITIAL",
    "CLTVER_FINAL",
    "CLTCFG_INITIAL",
    "CLTINFO_INITIAL",
    "DEL_INITIAL",
    "DEL_FILE_STATUS",
    "DEL_FINAL",
    "EXTDEL_INITIAL",
    "EXTDEL_FILE_STATUS",
    "EXTDEL_FINAL",
    "PRZ_INITIAL",
    "PRZ_STATUS",
    "PRZ_FINAL",
    "SYNPRZDB_INITIAL",
    "SYNPRZDB_STATUS",
    "SYNPRZDB_FINAL",
    "CHK_EXT_INITIAL",
    "CHK_EXT_FINAL",
};

}  // namespace

CZLVNetwork::CZLVNetwork(bool allowDatanode, const Credentials& credentials,
                         const ZlvNetworkSettings& settings)
    : credentials_(credentials), settings_(settings) {
  const std::optional<Target> target = chooseTarget(allowDatanode);
  if (!target) {
    client_.reset();
    return;
  }
  try {
    client_ = std::make_unique<kvn_network::NetClient>(target->host, target->port, settings_.net);
  } catch (const std::exception& e) {
    KLOG_E("Error connecting to %s (%s)", local8(target->host).constData(), e.what());
    throw;
  }
  channel_ = client_.get();
  files_ = &client_->fileController();
}

CZLVNetwork::CZLVNetwork(kvn_network::PacketChannel& channel, const Credentials& credentials,
                         const ChannelKeys& keys)
    : credentials_(credentials),
      channel_(&channel),
      ownFiles_(std::make_unique<kvn_network::NetFileController>(channel)),
      channelKeys_(std::make_unique<ChannelKeys>(keys)) {
  files_ = ownFiles_.get();
  if (!keys.dataKey.empty()) {
    channelData_ = std::make_unique<kvn_crypto::AesContext>();
    channelData_->init(keys.dataKey, keys.dataKey, 256, kvn_crypto::AesContext::Cbc);
  }
}

CZLVNetwork::~CZLVNetwork() = default;

std::optional<CZLVNetwork::Target> CZLVNetwork::chooseTarget(bool allowDatanode) const {
  if (credentials_.hasBoxIp()) {
    if (auto box = firstBox()) return box;
  } else {
    KLOG_I("StandAlone Connection to %s", local8(credentials_.datanode()).constData());
  }
  if (!allowDatanode) return std::nullopt;
  KLOG_I("Unable to connect to Box(%s), trying DN(%s)...", local8(credentials_.boxIp()).constData(),
         local8(credentials_.datanode()).constData());
  return datanode();
}

std::optional<CZLVNetwork::Target> CZLVNetwork::firstBox() const {
  for (const QString& entry : credentials_.boxIp().split(':', Qt::SkipEmptyParts)) {
    if (!probe(entry, kBoxPort, entry)) continue;
    KLOG_D("Connected to Box(%s)", local8(entry).constData());
    return Target{entry, kBoxPort};
  }
  return std::nullopt;
}

std::optional<CZLVNetwork::Target> CZLVNetwork::datanode() const {
  // "host:port", or the whole text as the host: a name with more colons
  // (an IPv6 literal) cannot carry a port.
  const QString text = credentials_.datanode();
  const QStringList parts = text.split(':');
  QString host = text;
  std::uint16_t port = kBoxPort;
  if (parts.size() == 2) {
    bool ok = false;
    const uint value = parts[1].toUInt(&ok, 10);
    // A port that is no port would only fail later as an unreachable 0 or
    // a truncated number; it is refused here with the text it came from.
    if (!ok || value == 0 || value > 0xFFFF) {
      KLOG_E("invalid port in datanode address '%s'", local8(text).constData());
      return std::nullopt;
    }
    host = parts[0];
    port = static_cast<std::uint16_t>(value);
  }

  const QHostInfo info = QHostInfo::fromName(host);
  if (info.addresses().isEmpty()) {
    KLOG_E("cannot lookup address for name '%s'", local8(host).constData());
    return std::nullopt;
  }
  for (const QHostAddress& address : info.addresses()) {
    const QString addressText = address.toString();
    if (!probe(addressText, port, addressText)) continue;
    KLOG_D("Connected to DN(%s)", local8(addressText).constData());
    return Target{addressText, port};
  }
  return std::nullopt;
}

bool CZLVNetwork::probe(const QString& host, std::uint16_t port, const QString& logText) const {
  QTcpSocket socket;
  socket.connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
  if (!socket.waitForConnected(settings_.probeTimeoutMs)) {
    KLOG_E("cannot connect to the Box(%s): %d", local8(logText).constData(),
           static_cast<int>(socket.error()));
    socket.abort();
    return false;
  }
  socket.abort();
  return true;
}

std::uint32_t CZLVNetwork::ConnectToServer() {
  if (!channel_) {
    KLOG_E("cannot connect to the server: netclient is NULL");
    return KVN_E_ARGUMENTS;
  }
  if (!client_) return KVN_OK;  // a handed-in channel comes connected
  try {
    client_->connect(static_cast<std::uint32_t>(credentials_.licenseStorage()),
                     credentials_.cryptkey());
  } catch (const KvnCommonException& e) {
    KLOG_E("cannot connect to the server: %s", e.what());
    return e.code;
  } catch (...) {
    KLOG_E("cannot connect to the server: unknown exception");
    return KVN_E_NETWORK;
  }
  return KVN_OK;
}

std::uint32_t CZLVNetwork::SendOperation(const QString& name) {
  if (!channel_) {
    KLOG_E("Invalid netclient");
    return KVN_E_ARGUMENTS;
  }
  NetPacket request(0);
  try {
    request.putUInt32(static_cast<std::uint32_t>(credentials_.licenseAgent()));
    request.putUInt32(static_cast<std::uint32_t>(credentials_.licenseStorage()));
    request.putString(name);
    request.putUInt32(1);
  } catch (const KvnCommonException& e) {
    KLOG_E("Error creating packet: %s", e.what());
    return KVN_E_EXCEPTION;
  }
  // A failed send drops the socket; the receive below then reports it.
  channel_->SendPacket(request, true, true);

  try {
    NetPacket answer = channel_->receivePacket();
    if (answer.type() != 0 && answer.type() != 1) {
      KLOG_E("Error receiving packet");
      return KVN_E_NETWORK;
    }
    if (!answer.isError()) return KVN_OK;
    const std::uint32_t code = answer.getUInt32();
    KLOG_E("Error: server side %d", static_cast<int>(code));
    return KVN_E_SERVER_STATUS;
  } catch (const std::exception& e) {
    KLOG_E("Error receiving packet %s", e.what());
    return KVN_E_NETWORK;
  }
}

bool CZLVNetwork::SendPacket(NetPacket& packet) {
  if (!channel_) return false;
  try {
    return channel_->SendPacket(packet, true, true);
  } catch (const std::exception& e) {
    KLOG_E("Error sending packet: %s", e.what());
    return false;
  }
}

bool CZLVNetwork::SendPacket(NetPacket* packet) { return packet != nullptr && SendPacket(*packet); }

std::uint32_t CZLVNetwork::SendConfirmPacket(std::uint32_t type) {
  NetPacket confirmation(type);
  return SendPacket(confirmation) ? KVN_OK : KVN_E_NETWORK;
}

bool CZLVNetwork::reportError(std::uint32_t type, std::uint32_t code, const QString& text) {
  if (!channel_) return false;
  try {
    NetPacket report(type);
    report.putUInt32(code);
    report.putString(text);
    report.setError();
    if (!channel_->SendPacket(report, false, false)) return false;
  } catch (const std::exception& e) {
    KLOG_E("Error sending packet: %s", e.what());
    return false;
  }
  try {
    NetPacket answer = channel_->receivePacket();
    if (answer.isError()) {
      KLOG_E("Error receiving packet");
      return false;
    }
    answer.getUInt32();
    return true;
  } catch (const std::exception& e) {
    KLOG_E("Error receiving packet: %s", e.what());
    return false;
  }
}

kvn_network::PacketChannel& CZLVNetwork::requireChannel() {
  if (!channel_) throw KvnCommonException(KVN_HERE, "Invalid netclient");
  return *channel_;
}

kvn_network::NetFileController& CZLVNetwork::requireFiles() {
  if (!files_) throw KvnCommonException(KVN_HERE, "Invalid netclient");
  return *files_;
}

kvn_crypto::CryptoClient& CZLVNetwork::requireSession() {
  kvn_crypto::CryptoClient* crypto = client_ ? client_->crypto() : nullptr;
  if (crypto == nullptr || !crypto->established())
    throw KvnCommonException(KVN_HERE, "Error: Invalid crypto object");
  return *crypto;
}

NetPacket CZLVNetwork::receivePacket() { return requireChannel().receivePacket(); }

NetPacket CZLVNetwork::receiveChecked() {
  NetPacket packet = requireChannel().receivePacket();
  if (packet.isError()) throw KvnCommonException(KVN_HERE, KVN_E_INVALID_REPLY);
  return packet;
}

void CZLVNetwork::receiveConfirm() {
  try {
    receivePacket();
  } catch (const std::exception& e) {
    KLOG_E("Error receiving packet: %s", e.what());
  }
}

void CZLVNetwork::sendFile(const QString& path, std::uint32_t type, std::uint32_t fileId,
                           bool encrypt, bool compress) {
  requireFiles().sendFile(path, type, fileId, encrypt, compress);
}

void CZLVNetwork::sendBytes(const char* data, std::size_t size, std::uint32_t type,
                            std::uint32_t fileId, bool encrypt, bool compress) {
  requireFiles().sendBytes(data, size, type, fileId, encrypt, compress);
}

void CZLVNetwork::holdSends(bool hold) {
  if (channel_) channel_->holdSends(hold);
}

void CZLVNetwork::receiveFile(const QString& path) { requireFiles().receiveFile(path); }

void CZLVNetwork::receiveFile(QFile& file) { requireFiles().receiveFile(file); }

void CZLVNetwork::discardFile() { requireFiles().discardFile(); }

std::uint32_t CZLVNetwork::refuseTransfer(std::uint32_t fileId) {
  return kvn_network::refuseTransfer(requireChannel(), fileId);
}

std::unique_ptr<kvn_network::FileSender> CZLVNetwork::createFileSender(
    const std::string& name, std::uint32_t type, std::uint32_t fileId, std::uint64_t size,
    bool encrypt, bool compress) {
  return std::make_unique<kvn_network::FileSender>(requireChannel(), name, type, fileId, size,
                                                   encrypt, compress);
}

std::unique_ptr<kvn_network::NetClientSendFileSink> CZLVNetwork::createSendFileSink(
    std::uint32_t type, std::uint32_t fileId, bool encrypt, bool compress) {
  return std::make_unique<kvn_network::NetClientSendFileSink>(requireChannel(), type, fileId,
                                                              encrypt, compress);
}

const kvn_crypto::Bytes& CZLVNetwork::fileKey() {
  if (channelKeys_) {
    if (channelKeys_->fileKey.empty())
      throw KvnCommonException(KVN_HERE, "Error: Invalid crypto object");
    return channelKeys_->fileKey;
  }
  return requireSession().fileKey();
}

kvn_crypto::AesContext& CZLVNetwork::dataCipher() {
  if (channelKeys_) {
    if (!channelData_) throw KvnCommonException(KVN_HERE, "Error: Invalid crypto object");
    return *channelData_;
  }
  return requireSession().dataCipher();
}

void CZLVNetwork::stop() {
  if (!files_) {
    KLOG_E("Invalid netclient");
    return;
  }
  files_->stop();
}

const char* CZLVNetwork::operationName(int index) {
  if (index < 0 || index >= static_cast<int>(std::size(kOperationNames))) return "<unassigned>";
  return kOperationNames[index];
}

NetworkFactory boxNetworkFactory(const Credentials& credentials,
                                 const ZlvNetworkSettings& settings) {
  return [&credentials, settings](bool allowDatanode) {
    return std::make_unique<CZLVNetwork>(allowDatanode, credentials, settings);
  };
}

std::unique_ptr<CZLVNetwork> makeJobNetwork(const NetworkFactory& factory, bool allowDatanode,
                                            const Credentials& credentials,
                                            const ZlvNetworkSettings& settings) {
  if (factory) return factory(allowDatanode);
  return boxNetworkFactory(credentials, settings)(allowDatanode);
}

bool reportError(CZLVNetwork& network, std::uint32_t type, std::uint32_t code, bool isError,
                 const QString& text) {
  const std::string report = kvn_log::errorReportText(isError, text.toStdString());
  KLOG_W("%s", report.c_str());
  return network.reportError(type, kvn_log::errorReportCode(code, isError),
                             QString::fromStdString(report));
}
