// Starts the update program so that it outlives the agent it replaces: as
// the transient systemd unit "ZlvUpdate" where systemd runs, otherwise as a
// detached process in a session of its own.
#pragma once

#include <QString>
#include <QStringList>

class UpdateLauncher {
 public:
  static constexpr const char* kUnitName = "ZlvUpdate";

  virtual ~UpdateLauncher() = default;

  // Removes a unit left by an earlier attempt.
  virtual void removeLeftover() = 0;
  // Starts command (program and arguments); false, logged, when it could
  // not be started.
  virtual bool start(const QStringList& command) = 0;
};

// systemd when /run/systemd/system exists (the system was booted with it),
// otherwise the detached form; says which.
std::unique_ptr<UpdateLauncher> makeUpdateLauncher();
// Whether the system was booted with systemd.
bool systemdRuns();

class SystemdUpdateLauncher : public UpdateLauncher {
 public:
  void removeLeftover() override;
  bool start(const QStringList& command) override;

 private:
  // Stops and forgets the unit; false when it could not be removed.
  bool removeUnit();
};

class DetachedUpdateLauncher : public UpdateLauncher {
 public:
  void removeLeftover() override {}
  bool start(const QStringList& command) override;
};

// What runs for the downloaded file: a Debian package is installed with
// dpkg, anything else is run with the data folder as its argument.
QStringList updateCommand(const QString& updatePath, const QString& baseDir);

// Skips an empty or missing program (true: nothing more to try); otherwise
// starts it and returns true whether or not the start worked, as the
// failure is logged and the program stays for the next check.
bool installUpdate(const QString& updatePath, const QString& baseDir, UpdateLauncher& launcher);
