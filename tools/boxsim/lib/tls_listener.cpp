#include "tls_listener.h"

#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

#include "kvn_common/qt_handover.h"
#include "kvn_log/log.h"

namespace boxsim {

TlsListenerThread::TlsListenerThread(QString address, std::uint16_t port, PemIdentity identity,
                                     const char* what)
    : address_(std::move(address)), port_(port), identity_(std::move(identity)), what_(what) {}

std::uint16_t TlsListenerThread::startListening() {
  start();
  const std::uint16_t bound = listening_.get_future().get();
  if (bound == 0) {
    wait();
    kvn_common::handOverTaken(this);
  }
  return bound;
}

void TlsListenerThread::stopListening() {
  quit();
  wait();
  // The owner destroys what the thread used from here on.
  kvn_common::handOverTaken(this);
}

void TlsListenerThread::run() {
  QSslServer server;
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setLocalCertificate(QSslCertificate(identity_.certificate, QSsl::Pem));
  tls.setPrivateKey(QSslKey(identity_.privateKey, QSsl::Rsa, QSsl::Pem));
  tls.setPeerVerifyMode(QSslSocket::VerifyNone);
  server.setSslConfiguration(tls);
  prepare(server);
  if (!server.listen(QHostAddress(address_), port_)) {
    KLOG_E("boxsim: cannot listen for %s on %s:%u: %s", what_, qPrintable(address_),
           unsigned(port_), qPrintable(server.errorString()));
    kvn_common::handOverGiven(this);
    listening_.set_value(0);
    return;
  }
  KLOG_I("boxsim: %s listening on %s:%u", what_, qPrintable(address_),
         unsigned(server.serverPort()));
  listening_.set_value(server.serverPort());
  exec();
  cleanUp();
  kvn_common::handOverGiven(this);
}

}  // namespace boxsim
