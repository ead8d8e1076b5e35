#include "tessel_test_client.h"

#include <QElapsedTimer>
#include <QSslCertificate>

namespace kvn_test {

namespace tessel = kvn_network::tessel;

namespace {

// Reads exactly size bytes, waiting up to stepMs for each new chunk.
QByteArray readExactly(QSslSocket& socket, qint64 size, int firstWaitMs, int stepMs) {
  QByteArray out;
  int wait = firstWaitMs;
  while (out.size() < size) {
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(wait)) break;
    out += socket.read(size - out.size());
    wait = stepMs;
  }
  return out;
}

}  // namespace

bool TesselTestClient::connect(const QString& address, std::uint16_t port, int timeoutMs) {
  socket_.setProtocol(QSsl::SecureProtocols);
  socket_.connectToHostEncrypted(address, port);
  socket_.ignoreSslErrors();
  return socket_.waitForConnected(timeoutMs) && socket_.waitForEncrypted(timeoutMs);
}

QByteArray TesselTestClient::peerSerial() const { return socket_.peerCertificate().serialNumber(); }

tessel::HelloCheck TesselTestClient::hello(std::int64_t license, std::int64_t agent,
                                           const QString& cryptkey, int timeoutMs) {
  const QByteArray key = tessel::proofKey(cryptkey);
  const QByteArray nonce = tessel::makeNonce();
  const QByteArray serial = peerSerial();
  if (!send(tessel::message::kHello,
            tessel::helloRequest(license, agent, nonce, tessel::clientProof(nonce, serial, key))))
    return {false, "hello not sent"};
  const QByteArray header = readExactly(socket_, tessel::kHeaderSize, timeoutMs, 1000);
  if (header.size() < qsizetype(tessel::kHeaderSize)) return {false, "no answer header"};
  const std::uint32_t length = tessel::decodeHeader(header.constData());
  if (length < tessel::kMinHelloAnswer || length > tessel::kMaxHelloAnswer)
    return {false, QString("answer length %1").arg(length)};
  const QByteArray body = readExactly(socket_, length, 1000, 1000);
  if (body.size() < qsizetype(length)) return {false, "incomplete answer"};
  const auto answer = tessel::parseMessage(body);
  if (!answer) return {false, "answer is not a JSON object"};
  return tessel::checkHello(*answer, license,
                            tessel::boxProof(nonce, tessel::helloNonce(*answer), serial, key));
}

bool TesselTestClient::send(const char* type, const QJsonObject& object,
                            const QByteArray* payload) {
  return sendRaw(tessel::encodeMessage(type, object, payload));
}

bool TesselTestClient::sendRaw(const QByteArray& bytes) {
  if (socket_.write(bytes) != bytes.size()) return false;
  while (socket_.bytesToWrite() > 0 || socket_.encryptedBytesToWrite() > 0)
    if (!socket_.waitForBytesWritten(10000)) return false;
  return true;
}

std::optional<TesselReceived> TesselTestClient::receive(int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    tessel::TesselMessage message;
    const auto status = reader_.next(message);
    if (status == tessel::TesselFrameReader::Status::Message) {
      const auto object = tessel::parseMessage(message.json);
      if (!object) return std::nullopt;
      return TesselReceived{*object, message.payload, message.hasPayload};
    }
    if (status == tessel::TesselFrameReader::Status::Failed) return std::nullopt;
    const qint64 left = timeoutMs - clock.elapsed();
    if (socket_.bytesAvailable() == 0 && (left <= 0 || !socket_.waitForReadyRead(int(left))))
      return std::nullopt;
    reader_.feed(socket_.readAll());
  }
}

std::optional<TesselReceived> TesselTestClient::receiveType(const QString& type, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < timeoutMs) {
    auto message = receive(int(timeoutMs - clock.elapsed()));
    if (!message || message->type() == type) return message;
  }
  return std::nullopt;
}

bool TesselTestClient::waitClosed(int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (socket_.state() == QAbstractSocket::ConnectedState && clock.elapsed() < timeoutMs) {
    socket_.waitForReadyRead(int(std::max<qint64>(1, timeoutMs - clock.elapsed())));
    socket_.readAll();
  }
  return socket_.state() != QAbstractSocket::ConnectedState;
}

}  // namespace kvn_test
