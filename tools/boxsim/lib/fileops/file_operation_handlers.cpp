#include <QFile>
#include <vector>

#include "backup/backup_conversation.h"
#include "boxsim/session.h"
#include "file_operation_conversation.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_network/file_operation_protocol.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

namespace restore_type = ::kvn_network::restore_type;
namespace deletion_type = ::kvn_network::deletion_type;
namespace extdel_type = ::kvn_network::external_deletion_type;
using kvn_network::NetPacket;

namespace {

// Reads a request with read; a packet that does not parse ends the
// connection, as a box does with an agent it cannot understand.
template <typename F>
bool parse(BoxSession& session, const NetPacket& packet, F read) {
  NetPacket request = packet;
  try {
    read(request);
    return true;
  } catch (const KvnCommonException& e) {
    KLOG_E("boxsim: malformed packet 0x%08x: %s", packet.type(), e.what());
    session.record().addNote(QString("malformed 0x%1").arg(packet.type(), 8, 16, QChar('0')));
    return false;
  }
}

enum class SendEnd { Complete, Failed, Dropped };

// The stored content as one transfer in chunks, compressed and encrypted
// like the job's data. With dropAfter >= 0 the chunk after the first
// dropAfter ones is never sent: the connection is to be closed.
SendEnd sendContent(BoxSession& session, const StoredVersion& version, JobDataSettings settings,
                    std::uint32_t chunkSize, int dropAfter) {
  QFile file(version.contentPath);
  kvn_network::FileSender sender(session, "?", restore_type::kData, restore_type::kFileData,
                                 file.size(), settings.useCrypto, settings.useCompression);
  try {
    if (!file.open(QIODevice::ReadOnly)) {
      KLOG_E("boxsim: cannot read %s", qPrintable(version.contentPath));
      sender.abort();
      return SendEnd::Failed;
    }
    std::vector<char> chunk(chunkSize);
    std::uint64_t offset = 0;
    int index = 0;
    for (;; ++index) {
      const qint64 n = file.read(chunk.data(), qint64(chunk.size()));
      if (n <= 0) break;
      if (dropAfter >= 0 && index == dropAfter) return SendEnd::Dropped;
      if (index > 0 && session.reached(TrapPoint::Kind::Download, 0, {}, index))
        return SendEnd::Dropped;
      sender.sendChunk(offset, chunk.data(), std::uint32_t(n), false);
      offset += std::uint64_t(n);
    }
    if (index > 0 && session.reached(TrapPoint::Kind::Download, 0, {}, index))
      return SendEnd::Dropped;
    sender.finish();
    return SendEnd::Complete;
  } catch (const KvnCommonException& e) {
    // The agent refused the rest; the abort tells it that nothing follows.
    KLOG_W("boxsim: restore transfer of %s ended: %s", qPrintable(version.path), e.what());
    if (sender.isOpen()) {
      try {
        sender.abort();
      } catch (const KvnCommonException&) {
        return SendEnd::Dropped;
      }
    }
    return SendEnd::Failed;
  }
}

bool answerPacket(BoxSession& session, NetPacket& answer) {
  return session.send(answer, true, true);
}

}  // namespace

bool RestoreCountHandler::handle(BoxSession& session, const NetPacket& packet) {
  QString operationId;
  if (!parse(session, packet, [&](NetPacket& p) {
        operationId = p.getString();
        p.getStdString();  // the file key: the box already has it
      }))
    return false;
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  c.operationId = operationId;
  c.plan = box_->restoration(operationId);
  if (!c.plan) {
    session.record().addNote("restore unknown " + operationId);
    return answerError(session, restore_type::kCount, box_code::kRefused);
  }
  c.toRestore = box_->restoreList(*c.plan);
  c.next = 0;
  std::uint64_t size = 0;
  for (const StoredVersion& v : c.toRestore) size += std::uint64_t(v.size);
  session.record().addNote(QString("restore %1 count %2").arg(operationId).arg(c.toRestore.size()));
  NetPacket answer(restore_type::kCount);
  answer.putInt32(std::int32_t(c.toRestore.size()));
  answer.putUInt64(size);
  return answerPacket(session, answer);
}

bool RestoreActionHandler::handle(BoxSession& session, const NetPacket& packet) {
  QString action;
  if (!parse(session, packet, [&](NetPacket& p) {
        p.getString();
        action = p.getString();
      }))
    return false;
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  session.record().addNote("restore action " + action);
  if (action != restore_type::kRestore) return answerOk(session, restore_type::kAction);
  if (c.next >= c.toRestore.size()) {
    c.current.reset();
    return answerError(session, restore_type::kAction, box_code::kRefused);
  }
  c.current = c.toRestore[c.next++];
  NetPacket answer(restore_type::kAction);
  answer.putString(kvn_network::toWirePath(c.current->path));
  answer.putInt32(c.current->lastWrite);
  return answerPacket(session, answer);
}

bool RestoreReadyHandler::handle(BoxSession& session, const NetPacket&) {
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  if (!c.current || !c.plan) return answerError(session, restore_type::kReady, box_code::kRefused);
  const bool drop = c.plan->closeInFile > 0 && int(c.next) == c.plan->closeInFile;
  const SendEnd end = sendContent(session, *c.current, box_->backups().jobs().get(c.plan->jobId),
                                  c.plan->chunkSize, drop ? c.plan->closeAfterChunks : -1);
  if (end == SendEnd::Dropped) {
    session.record().addNote("restore dropped " + c.current->path);
    return false;
  }
  return answerOk(session, restore_type::kReady);
}

bool RestoreResultHandler::handle(BoxSession& session, const NetPacket& packet) {
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  RestoreResult result;
  result.operationId = c.operationId;
  result.path = c.current ? c.current->path : QString();
  if (!parse(session, packet, [&](NetPacket& p) {
        result.failed = p.getInt32() != 0;
        result.text = p.getString();
      }))
    return false;
  box_->addResult(result);
  return answerOk(session, restore_type::kFileResult);
}

bool DeletionStartHandler::handle(BoxSession& session, const NetPacket& packet) {
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  if (!parse(session, packet, [&](NetPacket& p) {
        p.getString();
        c.jobId = p.getInt64();
        p.getInt32();
        c.operationId = p.getString();
      }))
    return false;
  const auto [code, text] = box_->deletionRefusal();
  session.record().addNote(QString("deletion %1 job %2%3")
                               .arg(c.operationId)
                               .arg(c.jobId)
                               .arg(code != 0 ? " refused" : ""));
  if (code != 0) return answerError(session, deletion_type::kStart, code, &text);
  return answerOk(session, deletion_type::kStart);
}

bool DeletionRequestHandler::handle(BoxSession& session, const NetPacket& packet) {
  QString name;
  if (!parse(session, packet, [&](NetPacket& p) { name = p.getString(); })) return false;
  session.record().addNote("deletion request " + name);
  return answerOk(session, deletion_type::kRequest);
}

bool DeletionFileHandler::handle(BoxSession& session, const NetPacket& packet) {
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  QString path;
  if (!parse(session, packet,
             [&](NetPacket& p) { path = kvn_network::fromWirePath(p.getString()); }))
    return false;
  box_->backups().store().remove(c.jobId, path);
  box_->addDeleted(c.jobId, path);
  return answerOk(session, deletion_type::kFile);
}

bool ExternalDeletionCountHandler::handle(BoxSession& session, const NetPacket& packet) {
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  if (!parse(session, packet, [&](NetPacket& p) { c.operationId = p.getString(); })) return false;
  const auto files = box_->externalDeletion(c.operationId);
  if (!files) {
    session.record().addNote("external deletion unknown " + c.operationId);
    return answerError(session, extdel_type::kCount, box_code::kRefused);
  }
  c.toDelete = *files;
  c.next = 0;
  NetPacket answer(extdel_type::kCount);
  answer.putInt32(std::int32_t(c.toDelete.size()));
  answer.putUInt64(0);
  return answerPacket(session, answer);
}

bool ExternalDeletionActionHandler::handle(BoxSession& session, const NetPacket&) {
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  if (c.toDelete.empty()) return answerOk(session, extdel_type::kNoMore);
  return answerOk(session, extdel_type::kAction);
}

bool ExternalDeletionNextHandler::handle(BoxSession& session, const NetPacket& packet) {
  FileOperationConversation& c = session.conversation<FileOperationConversation>();
  if (c.named) {
    box_->backups().store().remove(c.named->first, c.named->second);
    box_->addDeleted(c.named->first, c.named->second);
    c.named.reset();
  }
  // Without payload: the agent confirms the last file.
  if (packet.payloadSize() == 0) return answerOk(session, extdel_type::kNext);
  if (c.next >= c.toDelete.size()) return answerOk(session, extdel_type::kNoMore);
  const auto [jobId, path] = c.toDelete[c.next++];
  c.named = c.toDelete[c.next - 1];
  NetPacket answer(extdel_type::kNext);
  answer.putString(kvn_network::toWirePath(path));
  answer.putUInt64(std::uint64_t(jobId));
  answer.putInt32(0);
  return answerPacket(session, answer);
}

void addStoreHandlers(Registry& registry, std::shared_ptr<FileOperationsBox> box) {
  addFileHandlers(registry);
  addOperationHandlers(registry);
  addBackupHandlers(registry, box->sharedBackups());
  addFileOperationHandlers(registry, std::move(box));
}

void addFileOperationHandlers(Registry& registry, std::shared_ptr<FileOperationsBox> box) {
  const auto reporting = [](std::shared_ptr<Handler> inner) {
    return std::make_shared<ReportRouter>(std::move(inner));
  };
  registry.add(restore_type::kCount, reporting(std::make_shared<RestoreCountHandler>(box)));
  registry.add(restore_type::kAction, std::make_shared<RestoreActionHandler>(box));
  registry.add(restore_type::kReady, std::make_shared<RestoreReadyHandler>(box));
  registry.add(restore_type::kFileResult, std::make_shared<RestoreResultHandler>(box));
  registry.add(deletion_type::kStart, reporting(std::make_shared<DeletionStartHandler>(box)));
  registry.add(deletion_type::kRequest, std::make_shared<DeletionRequestHandler>(box));
  registry.add(deletion_type::kFile, std::make_shared<DeletionFileHandler>(box));
  registry.add(extdel_type::kCount, reporting(std::make_shared<ExternalDeletionCountHandler>(box)));
  registry.add(extdel_type::kAction, std::make_shared<ExternalDeletionActionHandler>(box));
  registry.add(extdel_type::kNext, std::make_shared<ExternalDeletionNextHandler>(box));
}

}  // namespace boxsim
