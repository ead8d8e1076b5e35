// A TLS server on a thread of its own with an event loop, under a
// self-signed certificate: the pairing page and the Tessel channel.
#pragma once

#include <QSslServer>
#include <QString>
#include <QThread>
#include <cstdint>
#include <future>

#include "self_signed_certificate.h"

namespace boxsim {

class TlsListenerThread : public QThread {
 public:
  // Starts the thread and waits until it listens: the port bound, or 0
  // (logged) when listening failed and the thread has ended.
  std::uint16_t startListening();
  // Ends the event loop and waits for the thread.
  void stopListening();

 protected:
  // what names the service in log lines ("pairing", "Tessel").
  TlsListenerThread(QString address, std::uint16_t port, PemIdentity identity, const char* what);

  // On the thread, before it listens: connect the server's signals.
  virtual void prepare(QSslServer& server) = 0;
  // On the thread, once the event loop has ended.
  virtual void cleanUp() {}

 private:
  void run() override;

  QString address_;
  std::uint16_t port_;
  PemIdentity identity_;
  const char* what_;
  std::promise<std::uint16_t> listening_;
};

}  // namespace boxsim
