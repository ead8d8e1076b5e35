#include "tessel/tesselclient.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QSslCertificate>
#include <QTimer>
#include <chrono>

#include "kvn_common/qt_handover.h"
#include "kvn_log/log.h"
#include "kvn_network/tessel_frame.h"
#include "kvn_network/tessel_proof.h"
#include "tessel/logforwarder.h"
#include "tessel/queryprocessor.h"
#include "tessel/tesseldispatcher.h"
#include "tessel/tesseltask.h"
#include "tessel/tesseltasks.h"

namespace tessel = kvn_network::tessel;

namespace {

// Longest sleep between two looks at the stop request.
constexpr std::chrono::milliseconds kStopCheck{20};

qint64 nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

qint64 toNs(std::chrono::milliseconds duration) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

QStringList splitAddresses(const QString& text) { return text.split(':', Qt::SkipEmptyParts); }

QByteArray utf8(const QString& text) { return text.toUtf8(); }

}  // namespace

TesselClient::TesselClient(TesselClientSettings settings, const QueryProcessorRegistry& queries,
                           const TaskFactoryRegistry& taskFactories, BoxFinderFunction findBoxes,
                           TesselTimings timings)
    : settings_(std::move(settings)),
      queries_(queries),
      taskFactories_(taskFactories),
      findBoxes_(std::move(findBoxes)),
      timings_(timings),
      context_(std::make_unique<QObject>()),
      socket_(std::make_unique<QSslSocket>()),
      tasks_(std::make_unique<TesselTasks>()),
      forwarder_(std::make_unique<LogForwarder>([this] { wake(); })) {
  context_->moveToThread(this);
  socket_->moveToThread(this);
  // The socket signals on the client's thread, where the slots must run.
  connect(socket_.get(), &QSslSocket::sslErrors, this, &TesselClient::socketSslErrors,
          Qt::DirectConnection);
  connect(socket_.get(), &QAbstractSocket::errorOccurred, this, &TesselClient::socketError,
          Qt::DirectConnection);
  connect(
      this, &TesselClient::callOnLog, context_.get(),
      [this](const QString& level, const QString& date, const QString& file, int line,
             const QString& text) { actualOnLog(level, date, file, line, text); },
      Qt::QueuedConnection);
  connect(
      this, &TesselClient::callStartTask, context_.get(),
      [this](const QString& type, const QJsonObject& args) { actualStartTask(type, args); },
      Qt::QueuedConnection);
}

TesselClient::~TesselClient() {
  stop();
  wait();
  // What the thread left behind is destroyed here.
  kvn_common::handOverTaken(this);
  // Nothing may call back into a half-destroyed client.
  forwarder_->disable();
}

void TesselClient::stop() {
  requestInterruption();
  wake();
}

void TesselClient::wake() {
  QMetaObject::invokeMethod(
      context_.get(),
      [this] {
        if (waitLoop_) waitLoop_->quit();
      },
      Qt::QueuedConnection);
}

// --- the connection loop -------------------------------------------------

void TesselClient::run() {
  while (!isInterruptionRequested()) {
    QCoreApplication::processEvents();
    switch (socket_->state()) {
      case QAbstractSocket::UnconnectedState: connectToBox(); break;
      case QAbstractSocket::ClosingState:
        KLOG_T("Waiting for state change");
        pause(timings_.closingPause);
        break;
      case QAbstractSocket::ConnectedState:
        frameLoop();
        endLink();
        pause(timings_.disconnectPause);
        break;
      default:
        socket_->abort();
        KLOG_E("Invalid state for Tessel ssl socket");
        pause(timings_.badStatePause);
        break;
    }
  }
  if (connected_) endLink();
  // Tasks and socket go on the thread that used them.
  tasks_.reset();
  socket_->abort();
  socket_.reset();
  kvn_common::handOverGiven(this);
}

void TesselClient::connectToBox() {
  KLOG_I("Tessel: Trying to connect to box");
  socket_->setProtocol(QSsl::SecureProtocols);

  bool linked = tryAddresses(splitAddresses(settings_.boxIp), "");
  if (!linked && findBoxes_ && !isInterruptionRequested()) {
    const std::string licence = std::to_string(settings_.licenseStorage);
    for (const kvn_mdns::FoundBox& box : findBoxes_()) {
      if (box.license != licence) continue;
      linked = tryAddresses(splitAddresses(QString::fromStdString(box.addresses)), " (mDNS)");
      if (linked) break;
    }
  }
  if (!linked && !settings_.hostPattern.isEmpty() && !isInterruptionRequested()) {
    const QHostInfo info = QHostInfo::fromName(settings_.hostPattern.arg(settings_.licenseStorage));
    QStringList addresses;
    for (const QHostAddress& address : info.addresses())
      if (address.protocol() == QAbstractSocket::IPv4Protocol) addresses << address.toString();
    linked = tryAddresses(addresses, " (hostname)");
  }
  if (isInterruptionRequested()) return;

  if (!linked) {
    socket_->abort();
    KLOG_W("Failed to connect to box using Tessel, trying again later");
    pause(timings_.noBoxPause);
    return;
  }
  KLOG_D("Tessel: Link established to box");
  connected_ = 1;
  if (handshake()) {
    KLOG_I("Tessel: Connected to box");
    settings_.boxIp = linkAddress_;
    emit validBoxIp(linkAddress_);
    return;
  }
  // Nothing more goes to a box that did not prove itself.
  connected_ = 0;
  socket_->close();
  KLOG_E("Tessel: Handshake failed");
  pause(timings_.handshakeFailPause);
}

bool TesselClient::tryAddresses(const QStringList& addresses, const char* source) {
  for (const QString& address : addresses) {
    if (isInterruptionRequested()) return false;
    KLOG_D("Tessel: Trying IP %s%s", utf8(address).constData(), source);
    if (tryAddress(address)) return true;
  }
  return false;
}

bool TesselClient::tryAddress(const QString& address) {
  socket_->connectToHostEncrypted(address, settings_.port, QIODevice::ReadWrite);
  // Any certificate will do: the box proves itself in the hello.
  socket_->ignoreSslErrors();
  const bool linked =
      waitUntil(timings_.connectWait,
                [this] { return socket_->state() == QAbstractSocket::ConnectedState; }) &&
      waitUntil(timings_.encryptWait, [this] { return socket_->isEncrypted(); });
  if (linked) {
    linkAddress_ = address;
    return true;
  }
  socket_->abort();
  return false;
}

// --- the hello -----------------------------------------------------------

bool TesselClient::handshake() {
  const QByteArray key = tessel::proofKey(settings_.cryptkey);
  const QByteArray nonce = tessel::makeNonce();
  const QByteArray serial = socket_->peerCertificate().serialNumber();
  sendMessage(tessel::message::kHello,
              tessel::helloRequest(settings_.licenseStorage, settings_.licenseAgent, nonce,
                                   tessel::clientProof(nonce, serial, key)));
  waitUntil(timings_.helloWriteWait, [this] {
    return socket_->bytesToWrite() == 0 && socket_->encryptedBytesToWrite() == 0;
  });

  QByteArray header;
  if (!readHello(header, tessel::kHeaderSize, timings_.helloAnswerWait)) {
    KLOG_W("Tessel: no answer to the hello");
    return false;
  }
  // The answer's length is the whole header: a payload flag makes it too long.
  const std::uint32_t length = tessel::decodeHeader(header.constData());
  if (length < tessel::kMinHelloAnswer || length > tessel::kMaxHelloAnswer) {
    KLOG_W("Tessel: hello answer of %u bytes refused", length);
    return false;
  }
  QByteArray body;
  if (!readHello(body, length, timings_.helloMoreWait)) {
    KLOG_W("Tessel: hello answer incomplete");
    return false;
  }
  const std::optional<QJsonObject> answer = tessel::parseMessage(body);
  if (!answer) {
    KLOG_W("Tessel: hello answer is not a JSON object");
    return false;
  }
  const tessel::HelloCheck check =
      tessel::checkHello(*answer, settings_.licenseStorage,
                         tessel::boxProof(nonce, tessel::helloNonce(*answer), serial, key));
  if (!check.ok) KLOG_W("Tessel: hello refused: %s", utf8(check.reason).constData());
  return check.ok;
}

bool TesselClient::readHello(QByteArray& out, qint64 size, TesselTimings::ms firstWait) {
  TesselTimings::ms wait = firstWait;
  while (out.size() < size) {
    if (socket_->bytesAvailable() == 0 &&
        !waitUntil(wait, [this] { return socket_->bytesAvailable() > 0; }))
      return false;
    out += socket_->read(size - out.size());
    wait = timings_.helloMoreWait;
  }
  return true;
}

// --- the frame loop ------------------------------------------------------

void TesselClient::frameLoop() {
  TesselDispatcher dispatcher(*this, queries_, *tasks_, [this](bool on) { setTailLogs(on); });
  tessel::TesselFrameReader reader;
  lastPingSent_ = lastReceived_ = nowNs();
  inFrameLoop_ = true;
  while (socket_->state() == QAbstractSocket::ConnectedState && !isInterruptionRequested()) {
    if (socket_->bytesAvailable() == 0) waitActivity(timings_.frameWait);
    forwardLogs();
    if (nowNs() - lastPingSent_ > toNs(timings_.pingInterval)) {
      sendMessage(tessel::message::kPing, {});
      lastPingSent_ = nowNs();
    }
    if (idleTooLong()) break;
    if (socket_->bytesToWrite() + socket_->encryptedBytesToWrite() < tessel::kTaskPumpThreshold)
      tasks_->pump();
    if (!receive(reader, dispatcher)) break;
  }
  inFrameLoop_ = false;
}

bool TesselClient::idleTooLong() {
  if (nowNs() - lastReceived_ <= toNs(timings_.idleLimit)) return false;
  KLOG_W("Tessel: Connection timed out");
  socket_->abort();
  return true;
}

bool TesselClient::receive(tessel::TesselFrameReader& reader, TesselDispatcher& dispatcher) {
  QByteArray bytes;
  {
    std::lock_guard lock(writeMutex_);
    bytes = socket_->readAll();
  }
  if (bytes.isEmpty()) return true;
  reader.feed(bytes);
  tessel::TesselMessage message;
  while (reader.next(message) == tessel::TesselFrameReader::Status::Message) {
    lastReceived_ = nowNs();
    if (dispatcher.dispatch(message.json, message.payload) == TesselDispatcher::Outcome::Close) {
      socket_->close();
      return false;
    }
  }
  if (reader.failed()) {
    KLOG_E("%s", reader.errorText());
    socket_->close();
    return false;
  }
  return true;
}

void TesselClient::endLink() {
  connected_ = 0;
  socket_->close();
  if (tailLogs_) {
    KLOG_D("Disabling log callback (disconnected)");
    setTailLogs(false);
  }
  tasks_->failAll("Disconnected from server");
}

// --- live log ------------------------------------------------------------

void TesselClient::setTailLogs(bool enabled) {
  tailLogs_ = enabled;
  if (enabled)
    forwarder_->enable();
  else
    forwarder_->disable();
}

void TesselClient::forwardLogs() {
  if (!tailLogs_) return;
  std::uint64_t dropped = 0;
  const std::vector<LogForwarder::Line> lines = forwarder_->take(&dropped);
  for (const LogForwarder::Line& line : lines)
    actualOnLog(QString::fromStdString(line.level), QString::fromStdString(line.date),
                QString::fromStdString(line.file), line.line, QString::fromStdString(line.text));
  if (dropped == 0) return;
  const LogForwarder::Suppress suppress;
  KLOG_W("Tessel: %llu log lines were not forwarded", static_cast<unsigned long long>(dropped));
}

void TesselClient::actualOnLog(const QString& level, const QString& date, const QString& file,
                               int line, const QString& text) {
  // Whatever sending this line logs must not come back as another line.
  const LogForwarder::Suppress suppress;
  sendMessage(tessel::message::kLog, {{tessel::key::kLevel, level},
                                      {tessel::key::kDate, date},
                                      {tessel::key::kFile, file},
                                      {tessel::key::kLine, line},
                                      {tessel::key::kText, text}});
}

// --- tasks ---------------------------------------------------------------

void TesselClient::startTask(const QString& type, const QJsonObject& args) {
  emit callStartTask(type, args);
}

void TesselClient::actualStartTask(const QString& type, const QJsonObject& args) {
  // Before the hello is through, a task message would reach an
  // unauthenticated peer (or break the hello).
  if (!connected_ || !inFrameLoop_) {
    KLOG_E("Cannot start task %s: not connected", utf8(type).constData());
    return;
  }
  tasks_->create(*this, taskFactories_, type, args);
}

void TesselClient::lockLogs(int taskId) {
  KLOG_D("Locking message logs for task %d", taskId);
  std::lock_guard lock(logLockMutex_);
  logLockedTasks_.insert(taskId);
}

void TesselClient::unlockLogs(int taskId) {
  KLOG_D("Unlocking message logs for task %d", taskId);
  std::lock_guard lock(logLockMutex_);
  logLockedTasks_.erase(taskId);
}

bool TesselClient::logsLocked() {
  std::lock_guard lock(logLockMutex_);
  return !logLockedTasks_.empty();
}

// --- sending -------------------------------------------------------------

void TesselClient::sendMessage(const QString& type, const QJsonObject& object) {
  write(type, object, nullptr);
}

void TesselClient::sendMessage(const QString& type, const QJsonObject& object,
                               const QByteArray& payload) {
  write(type, object, &payload);
}

void TesselClient::write(const QString& type, const QJsonObject& object,
                         const QByteArray* payload) {
  if (!connected_) return;
  const QByteArray body = tessel::messageBody(utf8(type).constData(), object);
  if (kvn_log::level() == kvn_log::Trace && !tailLogs_ && !logsLocked())
    KLOG_T("Send message: %s", body.constData());
  // The box refuses longer frames and closes the link: better not to send.
  if (std::uint32_t(body.size()) > tessel::kMaxFrameBody ||
      (payload && std::uint32_t(payload->size()) > tessel::kMaxFrameBody)) {
    KLOG_E("Tessel: message %s too long to send", utf8(type).constData());
    return;
  }
  waitForRoom();
  writeFrame(body, payload != nullptr);
  if (!payload) return;
  waitForRoom();
  writeFrame(*payload, false);
}

void TesselClient::writeFrame(const QByteArray& body, bool payloadFollows) {
  const std::uint32_t length = std::uint32_t(body.size());
  std::lock_guard lock(writeMutex_);
  if (socket_->write(tessel::encodeHeader(payloadFollows ? length | tessel::kPayloadFlag
                                                         : length)) != tessel::kHeaderSize ||
      socket_->write(body) != body.size())
    KLOG_E("Incomplete write in TesselClient");
}

void TesselClient::waitForRoom() {
  while (socket_->bytesToWrite() > tessel::kSendBackPressure) {
    // A box that stopped reading must not hold the client for ever: the
    // idle rule of the frame loop applies here too.
    if (isInterruptionRequested() || socket_->state() != QAbstractSocket::ConnectedState ||
        idleTooLong())
      return;
    socket_->waitForBytesWritten(int(timings_.sendWait.count()));
  }
}

// --- socket errors -------------------------------------------------------

void TesselClient::socketError(QAbstractSocket::SocketError error) {
  if (error == QAbstractSocket::SocketTimeoutError) return;
  KLOG_E("Client error! %s", utf8(socket_->errorString()).constData());
}

void TesselClient::socketSslErrors(const QList<QSslError>& errors) {
  KLOG_W("Client SSL error!");
  for (const QSslError& error : errors) KLOG_W("* %s", utf8(error.errorString()).constData());
}

// --- waiting -------------------------------------------------------------

bool TesselClient::pause(TesselTimings::ms duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (!isInterruptionRequested()) {
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    QThread::msleep(
        std::uint64_t(std::min<std::chrono::milliseconds>(
                          kStopCheck, std::chrono::ceil<std::chrono::milliseconds>(left))
                          .count()));
  }
  return false;
}

void TesselClient::waitActivity(TesselTimings::ms limit) {
  if (isInterruptionRequested() || limit.count() <= 0) return;
  QEventLoop loop;
  QTimer timer;
  timer.setSingleShot(true);
  connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  const QAbstractSocket* socket = socket_.get();
  connect(socket, &QIODevice::readyRead, &loop, &QEventLoop::quit);
  connect(socket, &QIODevice::bytesWritten, &loop, &QEventLoop::quit);
  connect(socket_.get(), &QSslSocket::encryptedBytesWritten, &loop, &QEventLoop::quit);
  connect(socket_.get(), &QSslSocket::encrypted, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::connected, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::stateChanged, &loop, &QEventLoop::quit);
  connect(socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
  timer.start(limit);
  waitLoop_ = &loop;
  loop.exec();
  waitLoop_ = nullptr;
}

bool TesselClient::waitUntil(TesselTimings::ms limit, const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (isInterruptionRequested() || socket_->state() == QAbstractSocket::UnconnectedState)
      return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    waitActivity(left);
  }
  return true;
}
