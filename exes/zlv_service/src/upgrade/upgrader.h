// Asks the box every hour whether a newer agent exists; when it does,
// downloads the update program "ZelvoUpdate" into the data folder, stops
// backups and file operations, and starts the program, which replaces the
// agent.
#pragma once

#include <QDir>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "connection/zlvnetwork.h"
#include "threads/periodictask.h"
#include "upgrade/systeminfo.h"
#include "upgrade/updatecheck.h"
#include "upgrade/updatelauncher.h"

class Credentials;

// What has to stop before the update program takes over.
struct UpgradeStops {
  std::function<unsigned()> runningBackups;
  std::function<void()> stopBackups;
  std::function<unsigned()> runningFileOperations;
  std::function<void()> stopFileOperations;
  // Once the program has started, nothing new may begin.
  std::function<void()> refuseNew;
};

struct UpgraderContext {
  const Credentials* credentials = nullptr;
  QDir baseDir;
  AgentVersion version;
  UpgradeStops stops;
  ZlvNetworkSettings network;
  SystemFacts system = SystemFacts::current();
  // Given time to stop, and between install attempts.
  std::chrono::milliseconds pause{30000};
  // Made by makeUpdateLauncher() when null.
  std::unique_ptr<UpdateLauncher> launcher;
};

class Upgrader : public PeriodicTask {
  Q_OBJECT

 public:
  static constexpr int kIntervalMs = 3600000;
  static constexpr const char* kProgramName = "ZelvoUpdate";
  static constexpr int kInstallAttempts = 3;

  explicit Upgrader(UpgraderContext context);
  ~Upgrader() override;

  // The "reset_agent" form of the upgrade action: from now on the check
  // asks for the current version again.
  void requestReinstall() { reinstallRequested_ = true; }
  bool reinstallRequested() const { return reinstallRequested_; }
  const QString& updatePath() const { return updatePath_; }

 protected:
  void run() override;

 private:
  void stopRunningWork();
  void sleep(std::chrono::milliseconds period);

  UpgraderContext context_;
  QString updatePath_;
  std::atomic<bool> reinstallRequested_{false};
  bool systemCompatible_;
};
