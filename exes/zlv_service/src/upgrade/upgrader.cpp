#include "upgrade/upgrader.h"

#include <QThread>
#include <exception>
#include <utility>

#include "kvn_log/log.h"

Upgrader::Upgrader(UpgraderContext context)
    : context_(std::move(context)),
      updatePath_(QDir::toNativeSeparators(context_.baseDir.filePath(kProgramName))),
      systemCompatible_(SystemInfo::isCompatible(context_.system)) {
  KLOG_I("Upgrader initialized with update path %s", qPrintable(updatePath_));
  if (!context_.launcher) context_.launcher = makeUpdateLauncher();
  context_.launcher->removeLeftover();
}

Upgrader::~Upgrader() { stopAndWait(); }

void Upgrader::run() {
  const bool reinstall = reinstallRequested_;
  if (reinstall) {
    KLOG_I("Running upgrader task... (reinstall requested)");
  } else if (!systemCompatible_) {
    KLOG_W("Automatic upgrades disabled: current system is not compatible (%s)",
           qPrintable(SystemInfo::describe(context_.system)));
    return;
  } else {
    KLOG_I("Running upgrader task...");
  }

  try {
    if (!checkAndDownloadUpdate(updatePath_, reinstall, context_.version, *context_.credentials,
                                context_.network))
      return;
  } catch (const std::exception& e) {
    KLOG_E("Error during downloadUpdate(): %s", e.what());
    return;
  }

  stopRunningWork();
  for (int attempt = 1; attempt <= kInstallAttempts; ++attempt) {
    if (installUpdate(updatePath_, context_.baseDir.path(), *context_.launcher)) {
      if (context_.stops.refuseNew) context_.stops.refuseNew();
      return;
    }
    KLOG_I("Upgrade failed, retrying in 30s");
    sleep(context_.pause);
  }
}

void Upgrader::stopRunningWork() {
  const UpgradeStops& stops = context_.stops;
  if (stops.runningBackups && stops.runningBackups() > 0) {
    stops.stopBackups();
    sleep(context_.pause);
  }
  if (stops.runningFileOperations && stops.runningFileOperations() > 0) {
    stops.stopFileOperations();
    sleep(context_.pause);
  }
}

void Upgrader::sleep(std::chrono::milliseconds period) { QThread::msleep(period.count()); }
