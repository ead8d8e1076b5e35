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

  // Waits until done() holds for the record or the time has passed; returns
  // done()'s last value. Sessions run on their own threads, so a test that
  // has its answer may still have to wait for the box to write it down.
  bool waitUntil(const std::function<bool(const Record&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

 private:
  template <typename F>
  void change(F f);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::uint64_t generation_ = 0;
  int connections_ = 0;
  std::vector<std::uint64_t> licences_;
  std::vector<std::uint32_t> packets_;
  std::vector<std::uint32_t> unhandled_;
  std::vector<ReceivedFile> files_;
  std::vector<SentFile> sentFiles_;
  std::vector<AnnouncedOperation> operations_;
  std::vector<ErrorReport> errorReports_;
  QStringList notes_;
};

}  // namespace boxsim
