// Inside the backup conversation: the state one connection keeps between
// packets, the handlers (one per packet type) and the answer helpers they
// share.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

#include "boxsim/backup_handlers.h"
#include "boxsim/file_handlers.h"
#include "boxsim/operation_handlers.h"
#include "kvn_common/stream.h"
#include "kvn_network/wire_path.h"

namespace boxsim {

class BoxSession;

// What one connection's backup run has told the box so far.
struct BackupConversation {
  bool started = false;
  // This connection's copy of the script, consumed as the run goes.
  BackupScript script;
  std::int64_t jobId = 0;
  int backupActions = 0;

  // The file described last, while its data is expected.
  struct File {
    QString path;
    std::int32_t lastWrite = 0;
  };
  std::optional<File> file;

  // The version being received for that file.
  std::unique_ptr<BackupStore::Draft> draft;
  bool delta = false;
  // A volume image: the data is the encoded stream, the signature its
  // hashmap.
  bool image = false;
  bool dataComplete = false;
  bool signatureComplete = false;
  // A file's delta: the version it was applied to as it arrived (0 when
  // none was stored), and whether it applied in full.
  int basis = 0;
  bool deltaApplied = false;

  void dropVersion() {
    draft.reset();
    delta = false;
    image = false;
    dataComplete = false;
    signatureComplete = false;
    basis = 0;
    deltaApplied = false;
  }
};

// An OK answer: an empty packet of the given type.
bool answerOk(BoxSession& session, std::uint32_t type);
// An error answer: the error bit, u32 code, then text when given.
bool answerError(BoxSession& session, std::uint32_t type, std::uint32_t code,
                 const QString* text = nullptr);

// The base of every backup handler: the shared box and this connection's
// conversation, started with a copy of the box's script.
class BackupHandler : public Handler {
 public:
  // Public so that the handlers below can inherit it; the class stays abstract.
  explicit BackupHandler(std::shared_ptr<BackupBox> box) : box_(std::move(box)) {}

 protected:
  BackupConversation& conversation(BoxSession& session) const;

  std::shared_ptr<BackupBox> box_;
};

// Action packets (0x10001001): PREP, PREPOST, INI, INFO, BACKUP, END, DONE.
class ActionHandler : public BackupHandler {
 public:
  using BackupHandler::BackupHandler;
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;
};

// A script's output and exit code (0x10020005).
class ScriptResultHandler : public BackupHandler {
 public:
  using BackupHandler::BackupHandler;
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;
};

// The backup confirmation (0x10000109): the run's final answer.
class RunConfirmHandler : public BackupHandler {
 public:
  using BackupHandler::BackupHandler;
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;
};

// A file description (0x10000101).
class DescriptionHandler : public BackupHandler {
 public:
  using BackupHandler::BackupHandler;
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;
};

// The announcement of a delta (0x10020002).
class DeltaAnnounceHandler : public BackupHandler {
 public:
  using BackupHandler::BackupHandler;
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;
};

// A request for the newest stored signature of a file (0x10020004).
class SignatureRequestHandler : public BackupHandler {
 public:
  using BackupHandler::BackupHandler;
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;
};

// File data (0x50010002): kinds 10, 11 and 12 (files) and 20, 21 and 22
// (volume images) go into the current file's draft; other kinds are taken
// as any transfer.
class DataHandler : public BackupHandler {
 public:
  using BackupHandler::BackupHandler;
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  FileReceiveHandler others_;
};

// The confirmation after a full version (0x10000108) or a delta
// (0x10020003): the box rebuilds and stores the version, or refuses.
class VersionConfirmHandler : public BackupHandler {
 public:
  VersionConfirmHandler(std::shared_ptr<BackupBox> box, bool delta)
      : BackupHandler(std::move(box)), delta_(delta) {}
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  // Stores the draft; on failure the reason is set.
  std::optional<StoredVersion> storeVersion(BackupConversation& c, QString& reason) const;
  bool delta_;
};

// Error-flagged packets of a type are the agent's error reports.
class ReportRouter : public Handler {
 public:
  explicit ReportRouter(std::shared_ptr<Handler> inner) : inner_(std::move(inner)) {}
  bool handle(BoxSession& session, const kvn_network::NetPacket& packet) override;

 private:
  std::shared_ptr<Handler> inner_;
  ReportHandler reports_;
};

}  // namespace boxsim
