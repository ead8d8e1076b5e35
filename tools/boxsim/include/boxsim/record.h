// What the simulated box has seen, for tests to inspect. Handlers on any
// session thread append; readers get copies.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>
#include "boxsim/watched_state.h"

namespace boxsim {

struct ReceivedFile {
  std::uint32_t packetType = 0;
  std::uint32_t fileId = 0;
  std::uint64_t size = 0;
  // The content, unless the handler was told to discard it (benchmarks).
  QByteArray data;
  // False when the transfer was refused or broke off.
  bool complete = false;
};

struct SentFile {
  std::uint32_t packetType = 0;
  std::uint32_t fileId = 0;
  std::uint64_t size = 0;
  // Credit grants the agent sent and the box took while sending.
  std::uint32_t grants = 0;
  bool complete = false;
};

struct AnnouncedOperation {
  std::uint32_t packetType = 0;
  QString name;
  // Whatever else the handler read from the packet, as text.
  QStringList fields;
};

struct ErrorReport {
  std::uint32_t packetType = 0;
  QString text;
};

// One action packet of a backup run (PREP, INI, INFO, BACKUP, ...).
struct BackupAction {
  QString name;
  // The values behind the name, as text, in packet order.
  QStringList fields;
  // 0 when answered OK, else the error code answered.
  std::uint32_t answerCode = 0;
};

// One file description as the agent sent it, and the box's answer.
struct FileDescription {
  std::int64_t jobId = 0;
  QString path;  // the agent's text path ("|" turned back into "/")
  std::int32_t lastWrite = 0;
  QByteArray digest;
  std::int64_t size = 0;
  std::int64_t reserved = 0;
  std::int16_t maxVersions = 0;
  bool hasPrevious = false;
  bool boxPaired = false;
  std::int32_t versionNumber = 0;
  std::int32_t previousLastWrite = 0;
  std::uint8_t kind = 0;
  // Kind 16 (volumes) only: the three strings and two numbers.
  QStringList volumeTexts;
  std::vector<std::int64_t> volumeNumbers;
  QByteArray fileKey;
  // "new" (plain OK), "known" (0x10001003) or the conflict string answered.
  QString answer;
};

// The output of a pre- or post-backup script as reported (0x10020005).
struct ScriptResult {
  QString output;
  std::int32_t exitCode = 0;
  std::uint8_t kind = 0;  // 0 pre, 1 post
};

// One file-data transfer of a backup (kind 10 full, 11 signature, 12 delta).
struct BackupData {
  std::int64_t jobId = 0;
  QString path;  // the file described last; empty when none was
  std::uint32_t kind = 0;
  std::uint64_t wireBytes = 0;  // as transferred
  std::uint64_t bytes = 0;      // after AES and gzip were undone
  bool complete = false;
};

class Record {
 public:
  void addConnection();
  void addNegotiation(std::uint64_t storageLicence);
  void addPacket(std::uint32_t packetType);
  void addUnhandled(std::uint32_t packetType);
  void addFile(ReceivedFile file);
  void addSentFile(SentFile file);
  void addOperation(AnnouncedOperation operation);
  void addErrorReport(ErrorReport report);
  // Free-form lines for conversations that need nothing more specific.
  void addNote(const QString& note);
  void addBackupAction(BackupAction action);
  void addDescription(FileDescription description);
  void addScriptResult(ScriptResult result);
  void addBackupData(BackupData data);

  int connections() const;
  int negotiations() const;
  std::vector<std::uint64_t> storageLicences() const;
  std::vector<std::uint32_t> packets() const;
  std::vector<std::uint32_t> unhandled() const;
  std::vector<ReceivedFile> files() const;
  std::vector<SentFile> sentFiles() const;
  std::vector<AnnouncedOperation> operations() const;
  std::vector<ErrorReport> errorReports() const;
  QStringList notes() const;
  std::vector<BackupAction> backupActions() const;
  std::vector<FileDescription> descriptions() const;
  std::vector<ScriptResult> scriptResults() const;
  std::vector<BackupData> backupData() const;

  // Waits until done() holds for the record or the time has passed; returns
  // done()'s last value. Sessions run on their own threads, so a test that
  // has its answer may still have to wait for the box to write it down.
  bool waitUntil(const std::function<bool(const Record&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

 private:
  template <typename F>
  void change(F f);

  WatchedState state_;
  int connections_ = 0;
  std::vector<std::uint64_t> licences_;
  std::vector<std::uint32_t> packets_;
  std::vector<std::uint32_t> unhandled_;
  std::vector<ReceivedFile> files_;
  std::vector<SentFile> sentFiles_;
  std::vector<AnnouncedOperation> operations_;
  std::vector<ErrorReport> errorReports_;
  QStringList notes_;
  std::vector<BackupAction> backupActions_;
  std::vector<FileDescription> descriptions_;
  std::vector<ScriptResult> scriptResults_;
  std::vector<BackupData> backupData_;
};

}  // namespace boxsim
