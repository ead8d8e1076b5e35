// One agent connection of the Tessel channel, on the box's thread: reads
// the hello and answers it (or not, as the fault knob says), then reads the
// agent's messages into the record and writes what the box sends.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QSslSocket>
#include <atomic>
#include <functional>
#include <memory>

#include "boxsim/tessel_box.h"
#include "kvn_network/tessel_frame.h"

namespace boxsim {

class UploadAssembler;

// The knobs a test turns while links run; read by the link when it acts.
struct TesselKnobs {
  std::atomic<HelloFault> helloFault{HelloFault::None};
  std::atomic<bool> answerPings{true};
  std::atomic<bool> silent{false};
};

// What every link of one box shares.
struct TesselLinkContext {
  std::int64_t license = 0;
  QByteArray key;
  QByteArray serialText;
  const TesselKnobs& knobs;
  TesselRecord& record;
  UploadAssembler& uploads;
};

class TesselLink {
 public:
  // Takes over an encrypted socket. closed() runs once, on the box's
  // thread, when the link has ended; it must not delete the link at once.
  TesselLink(std::unique_ptr<QSslSocket> socket, const TesselLinkContext& context,
             std::function<void()> closed);
  ~TesselLink();
  TesselLink(const TesselLink&) = delete;
  TesselLink& operator=(const TesselLink&) = delete;

  bool passedHello() const { return state_ == State::Linked; }
  void send(const char* type, const QJsonObject& object = {}, const QByteArray* payload = nullptr);
  void sendRaw(const QByteArray& bytes);
  void inject(LinkFault fault);
  // Reads again after silence (the knob is already off).
  void resumeReading();
  // Aborts the socket; the link ends.
  void abort(const QString& why);

 private:
  enum class State { AwaitingHello, HelloFailed, Linked, Closed };

  void readAvailable();
  void handle(const kvn_network::tessel::TesselMessage& message);
  void handleHello(const QJsonObject& hello);
  QByteArray helloAnswerBytes(const QJsonObject& hello, std::int64_t license);
  void handleLinked(const QJsonObject& message, const kvn_network::tessel::TesselMessage& raw);
  void handleTaskControl(const QJsonObject& message);
  void handleTask(const QJsonObject& message, const kvn_network::tessel::TesselMessage& raw);
  void end(const QString& why);

  std::unique_ptr<QSslSocket> socket_;
  TesselLinkContext context_;
  std::function<void()> closed_;
  kvn_network::tessel::TesselFrameReader reader_;
  State state_ = State::AwaitingHello;
};

}  // namespace boxsim
