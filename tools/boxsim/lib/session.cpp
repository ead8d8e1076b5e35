#include "boxsim/session.h"

#include <algorithm>
#include <thread>

#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/backup_protocol.h"
#include "kvn_network/file_transfer.h"

namespace boxsim {

using kvn_network::NetPacket;

namespace {

// Thrown by the chunk gate when the fault script refuses a transfer or
// drops the connection part-way.
struct TransferRefused {};
struct ConnectionDropped {};

// Counts the data chunks of a transfer on their way to the sink, so that
// the fault script can act part-way.
class ChunkGate : public kvn_common::StreamLink {
 public:
  ChunkGate(BoxSession& session, std::uint32_t fileId, int refuseAfter, int dropAfter)
      : session_(session), fileId_(fileId), refuseAfter_(refuseAfter), dropAfter_(dropAfter) {}

  void write(const char* data, std::uint32_t size) override {
    if (refuseAfter_ >= 0 && chunks_ >= refuseAfter_) throw TransferRefused{};
    if (dropAfter_ >= 0 && chunks_ >= dropAfter_) throw ConnectionDropped{};
    ++chunks_;
    if (session_.reached(TrapPoint::Kind::Chunk, fileId_, {}, chunks_)) throw ConnectionDropped{};
    forward().write(data, size);
  }

 private:
  BoxSession& session_;
  std::uint32_t fileId_;
  int refuseAfter_;
  int dropAfter_;
  int chunks_ = 0;
};

// Passes everything through to the session and notes whether the transfer
// reader has seen the packet that ends the transfer (end or abort), so that
// after a failure the box knows whether the rest is still on its way.
class EndWatch : public kvn_network::PacketChannel {
 public:
  explicit EndWatch(kvn_network::PacketChannel& channel) : channel_(channel) {}

  bool SendPacket(NetPacket& packet, bool compress, bool encrypt) override {
    return channel_.SendPacket(packet, compress, encrypt);
  }
  bool prepare(NetPacket& packet, bool compress, bool encrypt) override {
    return channel_.prepare(packet, compress, encrypt);
  }
  NetPacket receivePacket() override { return channel_.receivePacket(); }
  NetPacket receiveControlPacket() override { return channel_.receiveControlPacket(); }
  NetPacket receiveFilePacket() override {
    NetPacket packet = channel_.receiveFilePacket();
    if (packet.isEnd() || packet.isError()) ended_ = true;
    return packet;
  }
  bool ended() const { return ended_; }

 private:
  kvn_network::PacketChannel& channel_;
  bool ended_ = false;
};

// Collects an incoming transfer in memory (or only its size).
class CollectSink : public kvn_common::StreamSink {
 public:
  CollectSink(ReceivedFile& file, bool keepData) : file_(file), keepData_(keepData) {}

  void write(const char* data, std::uint32_t size) override {
    file_.size += size;
    if (keepData_) file_.data.append(data, static_cast<qsizetype>(size));
  }
  void end() override { file_.complete = true; }

 private:
  ReceivedFile& file_;
  bool keepData_;
};

kvn_crypto::Bytes bytesOf(const QByteArray& data) {
  return kvn_crypto::Bytes(data.begin(), data.end());
}

}  // namespace

BoxSession::BoxSession(qintptr socketDescriptor, const BoxIdentity& identity,
                       const Registry& registry, const FaultScript& faults, Record& record,
                       const kvn_network::NetSettings& settings)
    // The box keeps up with a fast link: its packets are compressed by
    // ISA-L at its fastest level, which the agent reads like any zlib data.
    : PacketConnection(settings, kvn_compression::GzipEngine::Isal),
      link_(kvn_network::PosixSocket::adoptAccepted(static_cast<int>(socketDescriptor),
                                                    settings.receiveTimeoutMs)),
      identity_(identity),
      registry_(registry),
      faults_(faults),
      record_(record) {
  if (link_) receiver().setStream(link_.get());
}

BoxSession::~BoxSession() { receiver().setStream(nullptr); }

void BoxSession::run() {
  if (!link_) return;
  if (faults_.silent) {
    // Holds the connection open without reading until the agent leaves.
    link_->waitForPeerToLeave();
    return;
  }
  try {
    if (negotiate()) serve();
  } catch (const std::exception& e) {
    KLOG_E("Box session ended: %s", e.what());
  }
  if (faults_.randomDrop && (dropAfterPackets_ < 0 || packetsReceived_ < dropAfterPackets_))
    faults_.randomDrop->ended(firstPacketType_, packetsReceived_);
  link_->finish(settings().receiveTimeoutMs);
}

bool BoxSession::negotiate() {
  kvn_crypto::BoxSecrets secrets{identity_.firstKey, identity_.secondKey,
                                 bytesOf(QByteArray::fromHex(identity_.cryptkeyHex)),
                                 identity_.dataKey};
  crypto_ = std::make_unique<kvn_crypto::CryptoBox>(secrets);
  while (crypto_->state() != kvn_crypto::kDone) {
    NetPacket packet;
    try {
      packet = receivePacket();
    } catch (const KvnCommonException& e) {
      KLOG_W("Box negotiation: %s", e.what());
      return false;
    }
    kvn_crypto::NegotiationMessage message;
    try {
      if (!packet.isNegotiation()) throw KvnCommonException(KVN_HERE, "not a negotiation packet");
      const std::uint32_t size = packet.getUInt32();
      message.code = packet.getUInt8();
      const std::uint8_t* body = packet.getDataPointer(size);
      message.body.assign(body, body + size);
    } catch (const KvnCommonException& e) {
      KLOG_W("Box negotiation: bad packet: %s", e.what());
      return false;
    }
    const kvn_crypto::NegotiationMessage reply = crypto_->next(message);
    if (crypto_->state() == kvn_crypto::kDone) break;
    if (reply.isFailure()) return false;
    if (faults_.refuseNegotiationAt != 0 && reply.code == faults_.refuseNegotiationAt) {
      KLOG_I("Box refuses the negotiation at 0x%02x (fault script)", reply.code);
      return false;
    }
    if (!sendNegotiation(reply.code, reply.body)) return false;
  }
  if (identity_.storageLicence != 0 && crypto_->storageLicence() != identity_.storageLicence) {
    KLOG_W("Box refuses storage licence %llu",
           static_cast<unsigned long long>(crypto_->storageLicence()));
    return false;
  }
  setCrypto(crypto_.get());
  record_.addNegotiation(crypto_->storageLicence());
  return true;
}

void BoxSession::serve() {
  // Answers wait until the box has to wait for the agent: the answers to
  // requests that came together leave together.
  link_->holdSends(true);
  for (;;) {
    if (faults_.closeAfterPackets >= 0 && packetsReceived_ >= faults_.closeAfterPackets) {
      KLOG_I("Box closes the connection after %d packets (fault script)", packetsReceived_);
      return;
    }
    if (dropAfterPackets_ >= 0 && packetsReceived_ >= dropAfterPackets_) {
      KLOG_I("Box drops the connection after %d packets (random fault)", packetsReceived_);
      return;
    }
    NetPacket packet;
    try {
      packet = receive();
    } catch (const KvnCommonException& e) {
      KLOG_D("Box session: agent gone: %s", e.what());
      return;
    }
    if (++packetsReceived_ == 1 && faults_.randomDrop) {
      // Backups, operations and restorations differ in length: the first
      // packet tells which kind of conversation this is.
      firstPacketType_ = packet.type();
      dropAfterPackets_ = faults_.randomDrop->pick(firstPacketType_);
      if (dropAfterPackets_ >= 0)
        KLOG_I("Box will drop this connection after %d packets (random fault)", dropAfterPackets_);
    }
    record_.addPacket(packet.type());
    if (reachedOnArrival(packet)) return;
    Handler* handler = registry_.find(packet.type());
    if (handler == nullptr) {
      KLOG_W("Box has no handler for packet type 0x%08x", packet.type());
      record_.addUnhandled(packet.type());
      return;
    }
    if (!handler->handle(*this, packet)) return;
  }
}

void BoxSession::sendPings() {
  for (int i = 0; i < faults_.pingsBeforeAnswer; ++i) {
    NetPacket ping(kvn_network::kPingPacketType);
    SendPacket(ping, false, false);
  }
}

bool BoxSession::reachedOnArrival(const NetPacket& packet) {
  if (!faults_.trap) return false;
  if (packet.type() == kvn_network::backup_type::kAction) {
    NetPacket copy = packet;
    try {
      if (reached(TrapPoint::Kind::Action, 0, copy.getString())) return true;
    } catch (const KvnCommonException&) {
      // A malformed action is the handler's to answer.
    }
  }
  return reached(TrapPoint::Kind::Packet, packet.type());
}

bool BoxSession::reached(TrapPoint::Kind kind, std::uint32_t type, const QString& name,
                         int ordinal) {
  const std::shared_ptr<PhaseTrap>& trap = faults_.trap;
  if (!trap || trap->point().kind != kind) return false;
  if (ordinal == 0) {
    ordinal = ++trapEvents_[QString("%1 %2 %3").arg(int(kind)).arg(type).arg(name)];
  }
  if (!trap->matches(kind, type, name, ordinal) || !trap->take()) return false;
  const QByteArray where = trap->point().text.toUtf8();
  if (trap->action() == PhaseTrap::Action::Drop) {
    KLOG_I("Box drops the connection at %s (fault script)", where.constData());
    record_.addNote("dropped at " + trap->point().text);
    return true;
  }
  KLOG_I("Box holds at %s (fault script)", where.constData());
  record_.addNote("held at " + trap->point().text);
  trap->markHeld();
  // Reads nothing more and answers nothing until the agent is gone.
  link_->waitForPeerToLeave();
  return true;
}

bool BoxSession::send(NetPacket& packet, bool compress, bool encrypt) {
  if (reached(TrapPoint::Kind::Answer, packet.type())) return false;
  const bool confirmation = packet.type() == kvn_network::backup_type::kFullConfirm ||
                            packet.type() == kvn_network::backup_type::kDeltaConfirm;
  if (confirmation && !packet.isError() && reached(TrapPoint::Kind::Answer, 0, "stored"))
    return false;
  sendPings();
  if (faults_.answerDelayMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(faults_.answerDelayMs));
  return SendPacket(packet, compress, encrypt);
}

bool BoxSession::SendPacket(NetPacket& packet, bool compress, bool encrypt) {
  return link_ && sendOn(*link_, packet, compress, encrypt);
}

NetPacket BoxSession::receive() { return receiver().receiveAny(); }

BoxSession::TransferEnd BoxSession::receiveTransfer(std::uint32_t fileId,
                                                    kvn_common::StreamSink& sink,
                                                    int dropAfterChunks) {
  // Grants of credit leave at once: held until the box has read all it was
  // sent, they would stop the agent at the end of every window.
  struct SendsAtOnce {
    kvn_network::PosixSocket& link;
    explicit SendsAtOnce(kvn_network::PosixSocket& l) : link(l) { link.holdSends(false); }
    ~SendsAtOnce() { link.holdSends(true); }
  } sendsAtOnce(*link_);
  ChunkGate gate(*this, fileId, faults_.refuseTransferAfterChunks, dropAfterChunks);
  gate.setNext(&sink);
  EndWatch watch(*this);
  try {
    kvn_network::NetClientReceiveFileSource(gate, watch, fileId).receive();
    return TransferEnd::Complete;
  } catch (const TransferRefused&) {
    KLOG_I("Box refuses the transfer of file id %u (fault script)", fileId);
  } catch (const ConnectionDropped&) {
    KLOG_I("Box drops the connection during the transfer of file id %u (fault script)", fileId);
    return TransferEnd::Dropped;
  } catch (const KvnCommonException& e) {
    KLOG_W("Box: transfer of file id %u broke off: %s", fileId, e.what());
  }
  if (watch.ended()) return TransferEnd::Failed;
  // The agent is still sending: refuse, and drop what is already on its way
  // so that it is not taken for the start of another transfer.
  try {
    if (kvn_network::sendTransferControl(*this, fileId, true)) drainTransfer();
  } catch (const KvnCommonException& e) {
    KLOG_W("Box: draining the refused transfer of file id %u failed: %s", fileId, e.what());
  }
  return TransferEnd::Failed;
}

ReceivedFile BoxSession::receiveFile(std::uint32_t packetType, std::uint32_t fileId, bool keepData,
                                     bool record) {
  ReceivedFile file;
  file.packetType = packetType;
  file.fileId = fileId;
  CollectSink sink(file, keepData);
  receiveTransfer(fileId, sink);
  if (record) record_.addFile(file);
  return file;
}

void BoxSession::drainTransfer() {
  // An agent that heeds the refusal stops sending without an end packet, so
  // anything that is not a file packet ends the transfer as well.
  for (;;) {
    NetPacket packet = receive();
    if (!packet.isFile() || packet.isControl()) {
      putBack(std::move(packet));
      return;
    }
    if (packet.isEnd() || packet.isError()) return;
  }
}

bool BoxSession::receiveFileToDisk(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    KLOG_E("Box cannot write %s", path.toUtf8().constData());
    return false;
  }
  const std::atomic<bool> never{false};
  return kvn_network::FileReceiver(*this, never).receiveData(file) == KVN_OK;
}

SentFile BoxSession::sendFile(std::uint32_t packetType, std::uint32_t fileId,
                              const QByteArray& data, bool compress, bool encrypt,
                              std::uint32_t chunkSize) {
  SentFile sent;
  sent.packetType = packetType;
  sent.fileId = fileId;
  sent.size = static_cast<std::uint64_t>(data.size());
  kvn_network::FileSender sender(*this, "?", packetType, fileId, sent.size, encrypt, compress);
  try {
    std::uint64_t previous = 0;
    int index = 0;
    for (std::uint64_t offset = 0; offset < sent.size; ++index) {
      if (index > 0 && reached(TrapPoint::Kind::Download, 0, {}, index)) return sent;
      const auto n =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(chunkSize, sent.size - offset));
      const char* chunk = data.constData() + offset;
      const std::uint64_t wireOffset = index == faults_.breakChunkSequenceAt ? previous : offset;
      if (index == faults_.switchFileIdAt)
        kvn_network::FileSender(*this, "?", packetType, fileId + 1, sent.size, encrypt, compress)
            .sendChunk(wireOffset, chunk, n, false);
      else
        sender.sendChunk(wireOffset, chunk, n, false);
      previous = offset;
      offset += n;
    }
    if (index > 0 && reached(TrapPoint::Kind::Download, 0, {}, index)) return sent;
    sender.finish();
    sent.complete = true;
  } catch (const KvnCommonException& e) {
    KLOG_W("Box: sending file id %u failed: %s", fileId, e.what());
  }
  sent.grants = sender.grantsReceived();
  record_.addSentFile(sent);
  return sent;
}

}  // namespace boxsim
