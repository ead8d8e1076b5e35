#include "backup_conversation.h"
#include "boxsim/session.h"
#include "kvn_network/netpacket.h"

namespace boxsim {

void BackupBox::setScript(const BackupScript& script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = script;
}

BackupScript BackupBox::script() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_;
}

BackupConversation& BackupHandler::conversation(BoxSession& session) const {
  BackupConversation& c = session.conversation<BackupConversation>();
  if (!c.started) {
    c.script = box_->script();
    c.started = true;
  }
  return c;
}

bool answerOk(BoxSession& session, std::uint32_t type) {
  kvn_network::NetPacket answer(type);
  return session.send(answer, true, true);
}

bool answerError(BoxSession& session, std::uint32_t type, std::uint32_t code, const QString* text) {
  kvn_network::NetPacket answer(type);
  answer.setError();
  answer.putUInt32(code);
  if (text != nullptr) answer.putString(*text);
  return session.send(answer, true, true);
}

bool ReportRouter::handle(BoxSession& session, const kvn_network::NetPacket& packet) {
  if (packet.isError()) return reports_.handle(session, packet);
  return inner_->handle(session, packet);
}

void addBackupHandlers(Registry& registry, std::shared_ptr<BackupBox> box) {
  using namespace backup_type;
  const auto reporting = [](std::shared_ptr<Handler> inner) {
    return std::make_shared<ReportRouter>(std::move(inner));
  };
  registry.add(kReport, std::make_shared<ReportHandler>());
  registry.add(kAction, std::make_shared<ActionHandler>(box));
  registry.add(kScriptResult, std::make_shared<ScriptResultHandler>(box));
  registry.add(kRunConfirm, reporting(std::make_shared<RunConfirmHandler>(box)));
  registry.add(kDescription, reporting(std::make_shared<DescriptionHandler>(box)));
  registry.add(kDeltaAnnounce, std::make_shared<DeltaAnnounceHandler>(box));
  registry.add(kSignatureRequest, reporting(std::make_shared<SignatureRequestHandler>(box)));
  registry.add(kData, std::make_shared<DataHandler>(box));
  registry.add(kFullConfirm, reporting(std::make_shared<VersionConfirmHandler>(box, false)));
  registry.add(kDeltaConfirm, reporting(std::make_shared<VersionConfirmHandler>(box, true)));
}

}  // namespace boxsim
