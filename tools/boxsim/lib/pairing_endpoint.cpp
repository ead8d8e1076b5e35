#include "boxsim/pairing_endpoint.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QThread>
#include <future>

#include "boxsim/record.h"
#include "kvn_log/log.h"
#include "self_signed_certificate.h"

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
class PairingEndpoint::Server : public QThread {
 public:
  Server(const PairingConfig& config, QByteArray body, Record* record, PemIdentity identity)
      : config_(config), body_(std::move(body)), record_(record), identity_(std::move(identity)) {}

  // The port bound, or 0 when listening failed.
  std::uint16_t waitUntilListening() { return listening_.get_future().get(); }

 protected:
  void run() override {
    QSslServer server;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(identity_.certificate, QSsl::Pem));
    tls.setPrivateKey(QSslKey(identity_.privateKey, QSsl::Rsa, QSsl::Pem));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    server.setSslConfiguration(tls);
    QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, &server,
                     [&] { acceptAll(server); });
    if (!server.listen(QHostAddress(config_.address), config_.port)) {
      KLOG_E("boxsim: cannot listen for pairing on %s:%u: %s", qPrintable(config_.address),
             unsigned(config_.port), qPrintable(server.errorString()));
      listening_.set_value(0);
      return;
    }
    listening_.set_value(server.serverPort());
    exec();
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

  PairingConfig config_;
  QByteArray body_;
  Record* record_;
  PemIdentity identity_;
  std::promise<std::uint16_t> listening_;
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
  server->start();
  const std::uint16_t bound = server->waitUntilListening();
  if (bound == 0) {
    server->wait();
    return false;
  }
  config_.port = bound;
  server_ = std::move(server);
  return true;
}

void PairingEndpoint::stop() {
  if (!server_) return;
  server_->quit();
  server_->wait();
  server_.reset();
}

std::uint16_t PairingEndpoint::port() const { return config_.port; }

}  // namespace boxsim
