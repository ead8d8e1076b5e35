// A paired agent and a simulated box that answers the version check, sends
// the update program and keeps the agent's reports.
#pragma once

#include <QThreadPool>

#include "boxsim/upgrade_handlers.h"
#include "job_config_fixture.h"

namespace kvn_test {

// An update program that writes a marker with its arguments, its parent and
// its session, seconds after it started, or (with gate) once the file gate
// exists, so that a test can tell that it still runs.
inline QByteArray markerScript(const QString& marker, int delaySeconds = 1,
                               const QString& gate = {}) {
  const QString wait = gate.isEmpty()
                           ? QString("sleep %1\n").arg(delaySeconds)
                           : QString(
                                 "n=0\nwhile [ ! -f %1 ] && [ $n -lt 600 ]; do sleep 0.1; "
                                 "n=$((n+1)); done\n")
                                 .arg(gate);
  return QString(
             "#!/bin/sh\n%2echo \"args $*\" > %1.tmp\n"
             "echo \"ppid $(ps -o ppid= -p $$ | tr -d ' ')\" >> %1.tmp\n"
             "echo \"sid $(ps -o sid= -p $$ | tr -d ' ')\" >> %1.tmp\n"
             "mv %1.tmp %1\n")
      .arg(marker, wait)
      .toUtf8();
}

class UpgradeTest : public JobConfigTest {
 protected:
  void startUpgradeBox(const QString& address) {
    upgrades_ = std::make_shared<boxsim::UpgradeService>();
    boxsim::Registry registry;
    boxsim::addOperationHandlers(registry);
    boxsim::addUpgradeHandlers(registry, upgrades_);
    startPairedBox(box_, std::move(registry), address);
    credentials(address, address + ":6670");
  }
  void TearDown() override {
    // Ends the pool's threads, and with them OpenSSL's per-thread state.
    QThreadPool::globalInstance()->waitForDone();
  }

  std::shared_ptr<boxsim::UpgradeService> upgrades_;
};

}  // namespace kvn_test
