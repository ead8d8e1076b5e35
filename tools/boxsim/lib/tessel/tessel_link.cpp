#include "tessel_link.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include "kvn_log/log.h"
#include "kvn_network/tessel_proof.h"
#include "upload_assembler.h"

namespace boxsim {

namespace tessel = kvn_network::tessel;
namespace key = kvn_network::tessel::key;
namespace msg = kvn_network::tessel::message;

namespace {

// While silent, the socket keeps at most this much unread, so that the
// agent's output backs up in the network instead of in the box.
constexpr qint64 kSilentReadBuffer = 64 * 1024;

// A JSON object padded with spaces to exactly size bytes (when it is
// shorter): still one valid document.
QByteArray paddedTo(QByteArray body, qsizetype size) {
  if (body.size() < size) body += QByteArray(size - body.size(), ' ');
  return body;
}

}  // namespace

TesselLink::TesselLink(std::unique_ptr<QSslSocket> socket, const TesselLinkContext& context,
                       std::function<void()> closed)
    : socket_(std::move(socket)), context_(context), closed_(std::move(closed)) {
  QSslSocket* s = socket_.get();
  QObject::connect(s, &QSslSocket::readyRead, s, [this] { readAvailable(); });
  QObject::connect(s, &QSslSocket::disconnected, s, [this] { end("agent closed the link"); });
  QObject::connect(s, &QSslSocket::errorOccurred, s, [this](QAbstractSocket::SocketError) {
    end("socket error: " + socket_->errorString());
  });
  KLOG_I("boxsim: Tessel link from %s", qPrintable(s->peerAddress().toString()));
  // Bytes that came with the handshake are read once the caller holds the link.
  QTimer::singleShot(0, s, [this] { readAvailable(); });
}

TesselLink::~TesselLink() {
  // The socket goes after this link's other members: none of its signals
  // may reach the link any more.
  QObject::disconnect(socket_.get(), nullptr, nullptr, nullptr);
  if (state_ != State::Closed) {
    socket_->abort();
    if (state_ == State::Linked) {
      context_.uploads.failAll("link closed");
      context_.record.linkDown();
    }
  }
}

void TesselLink::send(const char* type, const QJsonObject& object, const QByteArray* payload) {
  sendRaw(tessel::encodeMessage(type, object, payload));
}

void TesselLink::sendRaw(const QByteArray& bytes) {
  if (state_ == State::Closed) return;
  if (socket_->write(bytes) != bytes.size()) {
    KLOG_E("boxsim: Tessel write failed: %s", qPrintable(socket_->errorString()));
    abort("write failed");
  }
}

void TesselLink::inject(LinkFault fault) {
  switch (fault) {
    case LinkFault::TwoPayloads:
      sendRaw(tessel::encodeFrame(tessel::messageBody(msg::kTask, {{key::kTaskId, 1}}), true) +
              tessel::encodeFrame("x", true) + tessel::encodeFrame("y"));
      break;
    case LinkFault::OversizedFrame: {
      const QByteArray body = paddedTo(tessel::messageBody(msg::kPing), tessel::kMaxFrameBody + 1);
      sendRaw(tessel::encodeFrame(body));
      break;
    }
    case LinkFault::ErrorMessage: send(msg::kError); break;
    case LinkFault::InvalidJson: sendRaw(tessel::encodeFrame("{\"type\":")); break;
    case LinkFault::EmptyJson: sendRaw(tessel::encodeFrame("{}")); break;
    case LinkFault::UnknownType: send("no_such_message"); break;
    case LinkFault::Drop: abort("dropped by the box"); break;
  }
}

void TesselLink::resumeReading() {
  if (state_ == State::Closed) return;
  socket_->setReadBufferSize(0);
  readAvailable();
}

void TesselLink::abort(const QString& why) {
  if (state_ == State::Closed) return;
  QObject::disconnect(socket_.get(), nullptr, nullptr, nullptr);
  socket_->abort();
  end(why);
}

void TesselLink::readAvailable() {
  if (context_.knobs.silent) {
    socket_->setReadBufferSize(kSilentReadBuffer);
    return;
  }
  while (state_ != State::Closed && socket_->bytesAvailable() > 0) {
    reader_.feed(socket_->readAll());
    tessel::TesselMessage message;
    tessel::TesselFrameReader::Status status;
    while (state_ != State::Closed &&
           (status = reader_.next(message)) == tessel::TesselFrameReader::Status::Message)
      handle(message);
    if (state_ != State::Closed && reader_.failed()) {
      KLOG_E("boxsim: %s", reader_.errorText());
      abort(reader_.errorText());
    }
  }
}

void TesselLink::handle(const tessel::TesselMessage& message) {
  const auto object = tessel::parseMessage(message.json);
  if (!object) {
    KLOG_W("boxsim: Tessel message error: empty or invalid JSON");
    abort("empty or invalid JSON");
    return;
  }
  switch (state_) {
    case State::AwaitingHello: handleHello(*object); break;
    case State::Linked: handleLinked(*object, message); break;
    case State::HelloFailed:
      context_.record.addEvent("message after a failed hello: " +
                               object->value(key::kType).toString());
      break;
    case State::Closed: break;
  }
}

void TesselLink::handleHello(const QJsonObject& hello) {
  const std::int64_t license =
      context_.license != 0 ? context_.license : hello.value(key::kLicense).toInteger();
  const QByteArray expected =
      tessel::clientProof(tessel::helloNonce(hello), context_.serialText, context_.key);
  const tessel::HelloCheck check = tessel::checkHello(hello, license, expected);
  if (!check.ok) {
    KLOG_W("boxsim: Tessel hello refused: %s", qPrintable(check.reason));
    context_.record.addEvent("hello refused: " + check.reason);
    abort("hello refused");
    return;
  }
  const HelloFault fault = context_.knobs.helloFault;
  sendRaw(helloAnswerBytes(hello, license));
  if (fault != HelloFault::None) {
    KLOG_I("boxsim: Tessel hello answered with a fault");
    context_.record.addEvent("hello answered with a fault");
    state_ = State::HelloFailed;
    return;
  }
  KLOG_I("boxsim: Tessel agent %lld linked (licence %lld)",
         static_cast<long long>(hello.value(key::kAgent).toInteger()),
         static_cast<long long>(license));
  state_ = State::Linked;
  context_.record.linkUp();
}

QByteArray TesselLink::helloAnswerBytes(const QJsonObject& hello, std::int64_t license) {
  const QByteArray boxNonce = tessel::makeNonce();
  QByteArray proof =
      tessel::boxProof(tessel::helloNonce(hello), boxNonce, context_.serialText, context_.key);
  switch (context_.knobs.helloFault.load()) {
    case HelloFault::None: break;
    case HelloFault::OtherLicence: ++license; break;
    case HelloFault::WrongProof: proof[0] = char(proof[0] ^ 0x01); break;
    case HelloFault::ShortProof: proof.truncate(16); break;
    case HelloFault::EmptyAnswer: return tessel::encodeHeader(0);
    case HelloFault::OversizedAnswer: {
      const QByteArray body =
          tessel::messageBody(msg::kHello, tessel::helloAnswer(license, boxNonce, proof));
      return tessel::encodeFrame(paddedTo(body, tessel::kMaxHelloAnswer + 1));
    }
    case HelloFault::NoAnswer: return {};
  }
  return tessel::encodeFrame(
      tessel::messageBody(msg::kHello, tessel::helloAnswer(license, boxNonce, proof)));
}

void TesselLink::handleLinked(const QJsonObject& message, const tessel::TesselMessage& raw) {
  const QString type = message.value(key::kType).toString();
  if (type == msg::kPing) {
    context_.record.addPing();
    if (context_.knobs.answerPings && !context_.knobs.silent) send(msg::kPing);
  } else if (type == msg::kResponse) {
    context_.record.addResponse(message.value(key::kQueryId).toInteger(),
                                message.value(key::kResponse).toObject(),
                                message.value(key::kDone).toBool());
  } else if (type == msg::kLog) {
    context_.record.addLogLine(
        {message.value(key::kLevel).toString(), message.value(key::kDate).toString(),
         message.value(key::kFile).toString(), message.value(key::kLine).toInt(),
         message.value(key::kText).toString()});
  } else if (type == msg::kTaskControl) {
    handleTaskControl(message);
  } else if (type == msg::kTask) {
    handleTask(message, raw);
  } else if (type == msg::kError) {
    KLOG_W("boxsim: Tessel error message from the agent");
    context_.record.addErrorMessage(message);
  } else {
    KLOG_W("boxsim: unexpected Tessel message %s", qPrintable(type));
    context_.record.addEvent("unexpected message: " + type);
  }
}

void TesselLink::handleTaskControl(const QJsonObject& message) {
  TesselTaskControl control;
  control.taskId = message.value(key::kTaskId).toInt();
  control.action = message.value(key::kAction).toString();
  control.taskType = message.value(key::kTaskType).toString();
  control.args = message.value(key::kArgs).toObject();
  control.error = message.value(key::kError).toString();
  KLOG_I("boxsim: task %d %s %s", control.taskId, qPrintable(control.action),
         qPrintable(control.taskType));
  if (control.action == tessel::task_action::kCreate) {
    if (control.taskType == tessel::kFileUploadTask)
      context_.uploads.begin(control.taskId, control.args);
  } else if (control.action == tessel::task_action::kFinish) {
    context_.uploads.finish(control.taskId);
  } else if (control.action == tessel::task_action::kAbort) {
    context_.uploads.fail(control.taskId, control.error);
  }
  context_.record.addTaskControl(std::move(control));
}

void TesselLink::handleTask(const QJsonObject& message, const tessel::TesselMessage& raw) {
  const std::int32_t taskId = message.value(key::kTaskId).toInt();
  if (context_.uploads.isOpen(taskId) && !message.contains(key::kError)) {
    context_.uploads.append(taskId, raw.payload);
    return;
  }
  if (message.contains(key::kError))
    context_.uploads.fail(taskId, message.value(key::kError).toString());
  context_.record.addTaskData(
      {taskId, message.value(key::kData).toObject(), raw.payload, raw.hasPayload});
}

void TesselLink::end(const QString& why) {
  if (state_ == State::Closed) return;
  const bool wasLinked = state_ == State::Linked;
  state_ = State::Closed;
  KLOG_I("boxsim: Tessel link closed: %s", qPrintable(why));
  context_.record.addEvent("link closed: " + why);
  if (wasLinked) {
    context_.uploads.failAll("link closed");
    context_.record.linkDown();
  }
  // The owner deletes this link later, not while a signal of its socket runs.
  closed_();
}

}  // namespace boxsim
