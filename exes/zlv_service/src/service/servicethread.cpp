#include "service/servicethread.h"

#include <QCoreApplication>
#include <QEventLoop>

#include "kvn_log/log.h"

ServiceThread::ServiceThread(QObject* parent)
    : QThread(parent), host_(kvn_platform::makeServiceHost()) {}

ServiceThread::~ServiceThread() {
  cancel();
  wait();
}

void ServiceThread::cancel() { host_->cancel(); }

void ServiceThread::run() {
  kvn_platform::ServiceHost::Hooks hooks;
  QEventLoop untilQuit;
  // Connected before the stop is handed over, so the notification cannot
  // be missed.
  connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &untilQuit,
          &QEventLoop::quit, Qt::QueuedConnection);
  hooks.stopRequested = [this] { emit stopService(); };
  hooks.waitUntilQuitting = [&] {
    untilQuit.exec();
    host_->notifyStopping();
  };
  host_->run(hooks);
  KLOG_I("ServiceMain stopped...");
}
