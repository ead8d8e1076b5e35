// A small command interface to a running simulator, so that scripts can
// drive it: the program listens on a Unix-domain socket, and
// "boxsim ctl <command> ..." sends one command and prints the result.
//
// On the socket: the request is one line, a JSON array of texts (the
// command and its arguments); the reply is one line, a JSON object
// {"status": <exit status>, "output": <text to print>}.
//
// New commands are one add() each, next to the others of their subject
// (see tessel_commands.h).
#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "boxsim/accept_thread.h"

namespace boxsim {

struct ControlReply {
  int status = 0;  // the exit status of "boxsim ctl"; 0 is success
  QString output;  // printed as it is
};

// Status of a command used the wrong way.
inline constexpr int kControlUsage = 2;

class ControlCommands {
 public:
  using Run = std::function<ControlReply(const QStringList& args)>;

  // usage is the argument synopsis, e.g. "<action> [args] [intent]".
  void add(const QString& name, const QString& usage, const QString& help, Run run);
  // argv[0] is the command; "help" lists them all.
  ControlReply run(const QStringList& argv) const;
  QString usage() const;

 private:
  struct Command {
    QString usage;
    QString help;
    Run run;
  };
  std::map<QString, Command> commands_;
};

// "/tmp/boxsim-<address>.ctl"
QString defaultControlPath(const QString& listenAddress);

class ControlServer {
 public:
  ControlServer(QString path, const ControlCommands& commands);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens on the path (a stale socket file there is replaced). False,
  // logged, when it cannot.
  bool start();
  // Stops listening and waits for the commands running; removes the file.
  void stop();

 private:
  struct Running {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void listenLoop();
  void serve(quintptr descriptor);

  QString path_;
  const ControlCommands& commands_;
  AcceptThread listener_;
  std::mutex mutex_;
  std::vector<Running> running_;
};

// Sends one command and waits for its reply; a status of kControlUsage + 1
// and a reason when the simulator cannot be reached.
ControlReply sendControlCommand(const QString& path, const QStringList& argv);

}  // namespace boxsim
