// Runs the platform's service host on its own thread while the main thread
// runs the event loop. A stop request from the service manager reaches the
// application only through the queued stopService signal.
#pragma once

#include <QThread>
#include <memory>

#include "kvn_platform/service_host.h"

class ServiceThread : public QThread {
  Q_OBJECT

 public:
  explicit ServiceThread(QObject* parent = nullptr);
  ~ServiceThread() override;

  // Ends run() when the application quits for another reason.
  void cancel();

  kvn_platform::ServiceHost& host() { return *host_; }

 signals:
  void stopService();

 protected:
  void run() override;

 private:
  std::unique_ptr<kvn_platform::ServiceHost> host_;
};
