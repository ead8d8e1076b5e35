#include <QFile>

#include "backup_conversation.h"
#include "boxsim/session.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/file_transfer.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

namespace {

constexpr std::uint8_t kVolumeKind = 16;

QByteArray readByteArray(kvn_network::NetPacket& packet) {
  return packet.getBytes(packet.getUInt32());
}

FileDescription readDescription(kvn_network::NetPacket& packet) {
  FileDescription d;
  d.path = kvn_network::fromWirePath(packet.getString());
  d.lastWrite = packet.getInt32();
  d.digest = readByteArray(packet);
  d.size = packet.getInt64();
  d.reserved = packet.getInt64();
  d.maxVersions = static_cast<std::int16_t>(packet.getUInt16());
  d.hasPrevious = packet.getUInt8() != 0;
  d.boxPaired = packet.getUInt8() != 0;
  d.versionNumber = packet.getInt32();
  d.previousLastWrite = packet.getInt32();
  d.kind = packet.getUInt8();
  if (d.kind == kVolumeKind) {
    for (int i = 0; i < 3; ++i) d.volumeTexts << packet.getString();
    for (int i = 0; i < 2; ++i) d.volumeNumbers.push_back(packet.getInt64());
  }
  d.fileKey = readByteArray(packet);
  return d;
}

}  // namespace

bool DescriptionHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket request = packet;
  BackupConversation& c = conversation(session);
  c.dropVersion();
  c.file.reset();
  FileDescription d;
  try {
    d = readDescription(request);
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: malformed file description: %s", e.what());
    session.record().addNote("malformed description");
    return answerError(session, packet.type(), box_code::kRefused);
  }
  d.jobId = c.jobId;

  QStringList& conflicts = c.script.conflicts[d.path];
  if (!conflicts.isEmpty()) {
    d.answer = conflicts.takeFirst();
    KLOG_I("boxsim: description of %s answered with conflict %s", qPrintable(d.path),
           qPrintable(d.answer));
    session.record().addDescription(d);
    return answerError(session, packet.type(), box_code::kConflict, &d.answer);
  }
  c.file = BackupConversation::File{d.path, d.lastWrite};
  const std::optional<StoredVersion> newest = box_->store().newest(c.jobId, d.path);
  d.answer = newest ? "known" : "new";
  session.record().addDescription(d);
  if (!newest) return answerOk(session, packet.type());
  kvn_network::NetPacket answer(backup_type::kKnownFile);
  answer.putUInt64(static_cast<std::uint64_t>(newest->signatureSize));
  answer.putInt32(newest->lastWrite);
  return session.send(answer, true, true);
}

bool DeltaAnnounceHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  BackupConversation& c = conversation(session);
  c.dropVersion();
  if (!c.file || !box_->store().newest(c.jobId, c.file->path)) {
    KLOG_W("boxsim: delta announced for %s, which the box does not hold",
           c.file ? qPrintable(c.file->path) : "no described file");
    session.record().addNote("delta refused: no basis");
    return answerError(session, packet.type(), box_code::kRefused);
  }
  return answerOk(session, packet.type());
}

bool SignatureRequestHandler::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  kvn_network::NetPacket request = packet;
  const BackupConversation& c = conversation(session);
  QString path;
  try {
    path = kvn_network::fromWirePath(request.getString());
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: malformed signature request: %s", e.what());
    return answerError(session, packet.type(), box_code::kRefused);
  }
  session.record().addNote("signature request " + path);
  const std::optional<StoredVersion> newest = box_->store().newest(c.jobId, path);
  QFile signature(newest ? newest->signaturePath : QString());
  if (newest && signature.open(QIODevice::ReadOnly)) {
    const QByteArray data = signature.readAll();
    KLOG_I("boxsim: sending the signature of %s v%d (%lld bytes)", qPrintable(path), newest->number,
           static_cast<long long>(data.size()));
    if (!session.sendFile(backup_type::kData, data_kind::kSignature, data, false, true).complete)
      return false;
    return answerOk(session, packet.type());
  }
  // The agent waits for a transfer: an abort ends its wait, then the error.
  KLOG_W("boxsim: no signature of %s for job %lld", qPrintable(path),
         static_cast<long long>(c.jobId));
  try {
    kvn_network::FileSender(session, "?", backup_type::kData, data_kind::kSignature, 0, false,
                            false)
        .abort();
  } catch (const KvnCommonException& e) {
    KLOG_W("boxsim: cannot abort the signature transfer: %s", e.what());
    return false;
  }
  return answerError(session, packet.type(), box_code::kRefused);
}

}  // namespace boxsim
