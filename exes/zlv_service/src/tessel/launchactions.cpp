#include "tessel/launchactions.h"

#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_network/tessel_protocol.h"
#include "kvn_network/wire_path.h"
#include "tessel/launchactionrunner.h"

namespace {

// Longest argument texts taken into account; the rest is ignored.
constexpr int kBackupArgsLimit = 32;
constexpr int kRestorationArgsLimit = 260;
constexpr int kOperationArgsLimit = 10240;

using namespace kvn_network::tessel::launch_action;

// The job id of "<id>[;...]", or 0 when the text does not hold one.
std::int64_t backupJobId(const QString& args) {
  QString text = args.left(kBackupArgsLimit);
  const qsizetype semicolon = text.indexOf(u';');
  if (semicolon >= 0) {
    text.truncate(semicolon);
  } else if (args.size() > kBackupArgsLimit) {
    return 0;
  }
  bool ok = false;
  const qlonglong id = text.toLongLong(&ok, 10);
  return ok && id > 0 ? id : 0;
}

QByteArray text8(const QString& text) { return text.toLocal8Bit(); }

}  // namespace

std::uint32_t notAvailableInThisBuild(const char* what) {
  KLOG_E("%s is not available in this build", what);
  return KVN_E_EXCEPTION;
}

LaunchActions::LaunchActions(const AgentControl& control, LaunchActionRunner& runner)
    : control_(control), runner_(runner) {}

std::optional<std::uint32_t> LaunchActions::launch(const QString& action, const QString& args,
                                                   const QString& intent) {
  if (action == kBackup) return startBackup(args);
  if (action == kRestore) return startRestoration(args);
  if (action == kDelete) return startDeletion(args);
  if (action == kUpdateConfig) return updateConfiguration();
  if (action == kUpgrade) return startUpgrade(args);
  if (action == kStopBackup) return stopBackup(args, intent);
  if (action == kStopRestore) return stopRestoration(args, intent);
  if (action == kStopDelete) return stopDeletion(args, intent);
  return std::nullopt;
}

std::uint32_t LaunchActions::runOnThread(const char* action, std::function<void()> work) {
  if (runner_.start(std::move(work))) return KVN_OK;
  KLOG_E("%s refused: the agent is stopping", action);
  return KVN_E_ACTION_REFUSED;
}

std::uint32_t LaunchActions::startBackup(const QString& args) {
  if (args.isEmpty()) {
    KLOG_E("Error arguments");
    return KVN_E_ARGUMENTS;
  }
  const std::int64_t jobId = backupJobId(args);
  if (jobId == 0) {
    KLOG_E("Arguments error");
    return KVN_E_ARGUMENTS;
  }
  if (!control_.addBackup) return notAvailableInThisBuild("Backup");
  return runOnThread("LaunchActionBCKThreadFn", [&control = control_, jobId] {
    KLOG_D("LaunchActionBCKThreadFn starting");
    KLOG_I("Adding backup, id: %llu", static_cast<unsigned long long>(jobId));
    if (const std::uint32_t result = control.addBackup(jobId); result != KVN_OK) {
      KLOG_E("AddBackup error %d", int(result));
    }
    KLOG_D("LaunchActionBCKThreadFn done");
  });
}

std::uint32_t LaunchActions::startRestoration(const QString& args) {
  const QString text = args.left(kRestorationArgsLimit);
  const qsizetype first = text.indexOf(u';');
  const qsizetype second = first < 0 ? -1 : text.indexOf(u';', first + 1);
  const QString id =
      first < 0 ? QString() : text.mid(first + 1, second < 0 ? -1 : second - first - 1);
  // Without an operation id there is nothing the file operations could find.
  if (text.isEmpty() || first < 0 || id.isEmpty()) {
    KLOG_E("Error arguments");
    return KVN_E_ARGUMENTS;
  }
  const QString target = kvn_network::fromWirePath(text.left(first));
  if (!control_.startRestoration) return notAvailableInThisBuild("Restoration");
  return runOnThread("LaunchActionRSTThreadFn", [&control = control_, id, target] {
    KLOG_D("LaunchActionRSTThreadFn starting");
    KLOG_I("Adding restoration, id: %s path: %s", text8(id).constData(),
           target.isEmpty() ? "ORIGINAL_PATH" : text8(target).constData());
    if (const std::uint32_t result = control.startRestoration(id, target); result != KVN_OK) {
      KLOG_E("Error adding restoration 0x%08x", result);
    }
    KLOG_D("LaunchActionRSTThreadFn done");
  });
}

std::uint32_t LaunchActions::startDeletion(const QString& args) {
  const QString id = args.left(kOperationArgsLimit);
  if (id.isEmpty()) {
    KLOG_E("Error arguments");
    return KVN_E_ARGUMENTS;
  }
  if (!control_.startDeletion) return notAvailableInThisBuild("Deletion");
  return runOnThread("LaunchActionDELThreadFn", [&control = control_, id] {
    KLOG_D("LaunchActionDELThreadFn starting");
    KLOG_I("Adding delete, id: %s", text8(id).constData());
    if (const std::uint32_t result = control.startDeletion(id); result != KVN_OK) {
      KLOG_E("Error adding delete 0x%08x", result);
    }
    KLOG_D("LaunchActionDELThreadFn done");
  });
}

std::uint32_t LaunchActions::updateConfiguration() {
  if (!control_.updateConfiguration) return notAvailableInThisBuild("Configuration update");
  // The update keeps one thread of its own and repeats its pass when asked
  // again while it runs.
  return control_.updateConfiguration();
}

std::uint32_t LaunchActions::startUpgrade(const QString& args) {
  if (control_.noUpgrade) {
    KLOG_I("Upgrade request ignored: upgrades are disabled");
    return KVN_OK;
  }
  if (!control_.startUpgrade) {
    KLOG_E("Cannot start upgrade, upgrader is not initialized");
    return KVN_E_EXCEPTION;
  }
  return control_.startUpgrade(args == kResetAgentArgs);
}

std::uint32_t LaunchActions::stopBackup(const QString& args, const QString& intent) {
  const QString text = args.left(kOperationArgsLimit);
  if (text.isEmpty()) {
    KLOG_E("Error: arguments");
    return KVN_E_ARGUMENTS;
  }
  bool ok = false;
  const qlonglong jobId = text.toLongLong(&ok, 10);
  if (!ok || jobId < 0) {
    KLOG_E("Argument error");
    return KVN_E_ARGUMENTS;
  }
  const bool forUpgrade = intent == kUpgradeIntent;
  if (jobId == 0 ? !control_.stopAllBackups : !control_.stopBackup) {
    return notAvailableInThisBuild("Stopping a backup");
  }
  return runOnThread("LaunchActionSTOPBCKThreadFn", [&control = control_, jobId, forUpgrade] {
    KLOG_D("LaunchActionSTOPBCKThreadFn starting");
    const auto id = static_cast<unsigned long long>(jobId);
    KLOG_I("Plan to stop extern backup %llu", id);
    std::uint32_t result = KVN_OK;
    if (jobId == 0) {
      control.stopAllBackups(forUpgrade);
    } else {
      result = control.stopBackup(jobId, forUpgrade);
    }
    if (result != KVN_OK) {
      KLOG_E("Error stopping backup %d", int(result));
    } else {
      KLOG_I("Extern backup %llu stopped", id);
    }
    KLOG_D("LaunchActionSTOPBCKThreadFn done");
  });
}

std::uint32_t LaunchActions::stopRestoration(const QString& args, const QString& intent) {
  static constexpr FileOperationStop kStop{"LaunchActionSTOPRSTThreadFn", "Stopping a restoration",
                                           "Stopping restoration %s",
                                           "Error stopping restoration %d", false};
  return stopFileOperation(kStop, control_.stopRestoration, args, intent);
}

std::uint32_t LaunchActions::stopDeletion(const QString& args, const QString& intent) {
  static constexpr FileOperationStop kStop{"LaunchActionSTOPDELThreadFn", "Stopping a deletion",
                                           "Stopping delete %s", "Error stopping delete 0x%08x",
                                           true};
  return stopFileOperation(kStop, control_.stopDeletion, args, intent);
}

std::uint32_t LaunchActions::stopFileOperation(const FileOperationStop& stop,
                                               const FileOperationStopCall& call,
                                               const QString& args, const QString& intent) {
  const QString id = args.left(kOperationArgsLimit);
  if (id.isEmpty()) {
    KLOG_E("Error: arguments");
    return KVN_E_ARGUMENTS;
  }
  if (!call) return notAvailableInThisBuild(stop.what);
  const bool forUpgrade = intent == kUpgradeIntent;
  return runOnThread(stop.thread, [&stop, call, id, forUpgrade] {
    KLOG_D("%s starting", stop.thread);
    KLOG_I(stop.stopping, text8(id).constData());
    if (const std::uint32_t result = call(id, forUpgrade); result != KVN_OK) {
      // Each kind of stop has always reported its code in its own way.
      if (stop.codeInHex) {
        KLOG_E(stop.failed, result);
      } else {
        KLOG_E(stop.failed, int(result));
      }
      return;
    }
    KLOG_D("%s done", stop.thread);
  });
}
