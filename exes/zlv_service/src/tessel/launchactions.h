// What "launch_action" can start: backups, restorations and deletions and
// their stops, a configuration update and an upgrade. Each checks its
// argument text, answers at once with a result code and leaves the work to
// a thread of the runner (the update and the upgrade have threads of their
// own). A facility the agent does not have answers with a failure.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "tessel/agentcontrol.h"

class LaunchActionRunner;

class LaunchActions {
 public:
  // control must outlive the threads of the runner.
  LaunchActions(const AgentControl& control, LaunchActionRunner& runner);

  // The action's result code, or nothing for an unknown action.
  std::optional<std::uint32_t> launch(const QString& action, const QString& args,
                                      const QString& intent);

  // args "<job id>[;...]".
  std::uint32_t startBackup(const QString& args);
  // args "<target folder>;<operation id>[;...]"; an empty folder restores
  // each file to its original place.
  std::uint32_t startRestoration(const QString& args);
  // args "<operation id>".
  std::uint32_t startDeletion(const QString& args);
  std::uint32_t updateConfiguration();
  // args "reset_agent" asks the upgrader to reset the agent as well.
  std::uint32_t startUpgrade(const QString& args);
  // args "<job id>", 0 for every backup; intent "upgrade" marks the stop as
  // made for an upgrade.
  std::uint32_t stopBackup(const QString& args, const QString& intent);
  std::uint32_t stopRestoration(const QString& args, const QString& intent);
  std::uint32_t stopDeletion(const QString& args, const QString& intent);

 private:
  // Runs work on the runner; a failure when the runner no longer takes work.
  std::uint32_t runOnThread(const char* action, std::function<void()> work);

  const AgentControl& control_;
  LaunchActionRunner& runner_;
};

// Logs "<what> is not available in this build" and answers with the code of
// a missing facility.
std::uint32_t notAvailableInThisBuild(const char* what);
