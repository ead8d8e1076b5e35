#include "boxsim/pairing_endpoint.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslServer>
#include <QSslSocket>

#include "boxsim/record.h"
#include "kvn_log/log.h"
#include "self_signed_certificate.h"
#include "tls_listener.h"

namespace boxsim {

namespace {

constexpr const char* kRegistrationPath = "/zelvo/php/scripts/register_agent.php";
// A request head larger than this is not from the agent; the connection
// is dropped rather than buffered without end.
constexpr qsizetype kMaxRequestHead = 16 * 1024;

QByteArray httpResponse(const char* status, const QByteArray& type, const QByteArray& body) {
  return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + QByteArray::number(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

// The listening side, living on its own thread with an event loop.
class PairingEndpoint::Server : public TlsListenerThread {
 public:
  Server(const PairingConfig& config, QByteArray body, Record* record, PemIdentity identity)
      : TlsListenerThread(config.address, config.port, std::move(identity), "pairing"),
        body_(std::move(body)),
        record_(record) {}

 protected:
  void prepare(QSslServer& server) override {
    QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, &server,
                     [this, &server] { acceptAll(server); });
  }

 private:
  void acceptAll(QSslServer& server) {
    while (QTcpSocket* socket = server.nextPendingConnection()) {
      auto head = std::make_shared<QByteArray>();
      QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
      QObject::connect(socket, &QTcpSocket::readyRead, socket,
                       [this, socket, head] { readRequest(socket, *head); });
      if (socket->bytesAvailable() > 0) readRequest(socket, *head);
    }
  }

  void readRequest(QTcpSocket* socket, QByteArray& head) {
    head += socket->readAll();
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) {
      if (head.size() > kMaxRequestHead) socket->abort();
      return;
    }
    // One request per connection: later bytes are not read.
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray target = requestLine.value(1);
    KLOG_I("boxsim: pairing request %s", target.constData());
    if (record_) record_->addNote("pairing " + QString::fromUtf8(target));
    const bool registration =
        requestLine.value(0) == "GET" && target.left(target.indexOf('?')) == kRegistrationPath;
    socket->write(registration ? httpResponse("200 OK", "application/json", body_)
                               : httpResponse("404 Not Found", "text/plain", "not found\n"));
    socket->disconnectFromHost();
  }

  QByteArray body_;
  Record* record_;
};

PairingEndpoint::PairingEndpoint(PairingConfig config, Record* record)
    : config_(std::move(config)), record_(record) {}

PairingEndpoint::~PairingEndpoint() { stop(); }

QByteArray PairingEndpoint::replyBody() const {
  QJsonObject reply;
  reply["status"] = QJsonValue::Null;
  reply["license_key"] = static_cast<qint64>(config_.licenseKey);
  reply["device"] = static_cast<qint64>(config_.device);
  reply["dn"] = config_.datanode;
  reply["cryptkey"] = config_.cryptkeyHex;
  return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

bool PairingEndpoint::start() {
  if (server_) return true;
  PemIdentity identity = makeSelfSignedIdentity(config_.address);
  if (identity.certificate.isEmpty()) return false;
  auto server = std::make_unique<Server>(config_, replyBody(), record_, std::move(identity));
  const std::uint16_t bound = server->startListening();
  if (bound == 0) return false;
  config_.port = bound;
  server_ = std::move(server);
  return true;
}

void PairingEndpoint::stop() {
  if (!server_) return;
  server_->stopListening();
  server_.reset();
}

std::uint16_t PairingEndpoint::port() const { return config_.port; }

}  // namespace boxsim
