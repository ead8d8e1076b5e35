// The box's end of the Tessel control channel: a TLS listener (port 6680
// by default) under a self-signed certificate made at start. The agent
// connects and proves itself in the hello; the box answers with its own
// proof, answers pings, and from then on tests and scripts drive the agent
// through it: queries, launch actions, live logs, tasks. It keeps what the
// agent sends (responses, log lines, uploaded files) in a TesselRecord.
//
// One agent link at a time: a new connection replaces the old one. The
// socket lives on a thread of the box's own; every method here may be
// called from any thread.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "boxsim/tessel_record.h"
#include "kvn_network/tessel_protocol.h"

class QTemporaryDir;

namespace boxsim {

class TesselLink;
struct TesselKnobs;

// How the box answers the agent's hello.
enum class HelloFault {
  None,             // the proper answer
  OtherLicence,     // "license" one higher than the agent's
  WrongProof,       // a proof of the right length with one byte changed
  ShortProof,       // a proof of 16 bytes
  EmptyAnswer,      // a frame header of length 0, no body
  OversizedAnswer,  // a 65,536-byte answer (the proper one, padded)
  NoAnswer,         // nothing; the link stays open
};

// What the box can do to a link that has passed the hello.
enum class LinkFault {
  TwoPayloads,     // a flagged "task" frame, then another flagged frame
  OversizedFrame,  // a frame of 0x80001 bytes
  ErrorMessage,    // an "error" message
  InvalidJson,     // a frame whose body is not JSON
  EmptyJson,       // a frame whose body is {}
  UnknownType,     // a message of a type the agent does not know
  Drop,            // the link is aborted
};

// Names as the control commands take them ("other-licence", "two-payloads").
std::optional<HelloFault> helloFaultFromName(const QString& name);
std::optional<LinkFault> linkFaultFromName(const QString& name);

struct TesselBoxConfig {
  QString address = "127.0.0.1";
  // 0 picks a free port (see TesselBox::port()).
  std::uint16_t port = kvn_network::tessel::kPort;
  // The agent's storage licence: its hello must carry it, and the answer
  // does. 0 accepts any licence and answers with the agent's.
  std::int64_t license = 0;
  // The shared key as text (the simulator's hexadecimal cryptkey); the
  // proofs read it as Base64.
  QString cryptkey;
  // Uploads land in <uploadFolder>/task-<task id>-<n>.bin; empty: a
  // temporary folder removed with the box.
  QString uploadFolder;
};

class TesselBox {
 public:
  explicit TesselBox(TesselBoxConfig config);
  ~TesselBox();
  TesselBox(const TesselBox&) = delete;
  TesselBox& operator=(const TesselBox&) = delete;

  // Makes the certificate and starts listening on the box's thread (a
  // QCoreApplication must exist). False, logged, when either fails.
  bool start();
  // Closes the link, stops listening and wakes every waiter; waits return
  // at once from then on.
  void stop();

  std::uint16_t port() const;
  // The certificate's serial number as the agent's TLS layer reports it.
  QByteArray certificateSerial() const;
  QString uploadFolder() const;

  // Fault knobs, also before start(); they apply from the next hello or
  // ping on.
  void setHelloFault(HelloFault fault);
  // On by default: each "ping" is answered with a "ping".
  void setAnswerPings(bool answer);
  // Silent: the box stops reading the link (the agent's output backs up)
  // and answers no pings; sends asked for through this interface still go.
  void setSilent(bool silent);
  // False when no agent is linked.
  bool inject(LinkFault fault);
  // Writes bytes as they are onto the link; false when no agent is linked.
  bool sendRaw(const QByteArray& bytes);

  // Each send returns the new query id, or -1 (logged) when no agent is
  // linked. Query ids count from 1.
  std::int64_t query(const QJsonObject& query);
  std::int64_t launchAction(const QString& action, const QString& args = {},
                            const QString& intent = {});
  // The query "start_task".
  std::int64_t startTask(const QString& taskType, const QJsonObject& args);
  bool tailLogs(bool enabled);
  bool sendTaskData(std::int32_t taskId, const QJsonObject& data,
                    const std::optional<QByteArray>& payload = std::nullopt);
  bool sendTaskError(std::int32_t taskId, const QString& error);

  // The responses to a query until one came with done = true, or what came
  // until the time ran out (done false).
  TesselResponses waitResponses(std::int64_t queryId, std::chrono::milliseconds timeout);
  // Until an agent link has passed the hello.
  bool waitConnected(std::chrono::milliseconds timeout);
  // The next ended upload that no earlier call has handed out.
  std::optional<TesselUpload> waitUpload(std::chrono::milliseconds timeout);

  int connectedCount() const { return record_.connectedCount(); }
  int pingsReceived() const { return record_.pingsReceived(); }
  std::vector<TesselLogLine> logLines() const { return record_.logLines(); }
  std::vector<TesselUpload> uploads() const { return record_.uploads(); }
  TesselRecord& record() { return record_; }

 private:
  class Server;
  // Runs f with the current link on the box's thread; false when no agent
  // is linked (f is dropped, logged, when the link goes before it runs).
  bool post(std::function<void(TesselLink&)> f);
  std::int64_t sendQuery(const QJsonObject& query);

  TesselBoxConfig config_;
  TesselRecord record_;
  std::unique_ptr<TesselKnobs> knobs_;
  std::unique_ptr<QTemporaryDir> temporaryUploads_;
  std::unique_ptr<Server> server_;
  std::atomic<std::int64_t> nextQueryId_{1};
  std::mutex uploadCursorMutex_;
  std::size_t uploadCursor_ = 0;
};

}  // namespace boxsim
