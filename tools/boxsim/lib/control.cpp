#include "boxsim/control.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>

#include "kvn_log/log.h"

namespace boxsim {

namespace {

constexpr int kRequestWaitMs = 10000;
constexpr qint64 kMaxRequest = 1 << 20;
constexpr int kUnreachable = kControlUsage + 1;

// Hands every accepted connection's descriptor to the server.
class Listener : public QLocalServer {
 public:
  explicit Listener(std::function<void(quintptr)> accepted) : accepted_(std::move(accepted)) {}

 protected:
  void incomingConnection(quintptr descriptor) override { accepted_(descriptor); }

 private:
  std::function<void(quintptr)> accepted_;
};

QByteArray line(const QJsonDocument& document) {
  return document.toJson(QJsonDocument::Compact) + '\n';
}

// One line from the socket, without its end; empty when none came in time.
QByteArray readLine(QLocalSocket& socket, int waitMs) {
  while (!socket.canReadLine() && socket.bytesAvailable() < kMaxRequest) {
    if (!socket.waitForReadyRead(waitMs)) return {};
  }
  return socket.readLine(kMaxRequest).trimmed();
}

}  // namespace

void ControlCommands::add(const QString& name, const QString& usage, const QString& help, Run run) {
  commands_[name] = {usage, help, std::move(run)};
}

ControlReply ControlCommands::run(const QStringList& argv) const {
  if (argv.isEmpty() || argv[0] == "help") return {0, usage()};
  const auto it = commands_.find(argv[0]);
  if (it == commands_.end()) return {kControlUsage, "unknown command " + argv[0] + "\n" + usage()};
  return it->second.run(argv.mid(1));
}

QString ControlCommands::usage() const {
  QString text = "commands:\n";
  for (const auto& [name, command] : commands_)
    text += QString("  %1 %2\n      %3\n").arg(name, command.usage, command.help);
  return text;
}

QString defaultControlPath(const QString& listenAddress) {
  return QString("/tmp/boxsim-%1.ctl").arg(listenAddress);
}

ControlServer::ControlServer(QString path, const ControlCommands& commands)
    : path_(std::move(path)), commands_(commands) {}

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start() {
  return listener_.start([this] { listenLoop(); });
}

void ControlServer::listenLoop() {
  Listener server([this](quintptr descriptor) { serve(descriptor); });
  QLocalServer::removeServer(path_);
  server.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server.listen(path_)) {
    KLOG_E("boxsim: cannot open the control socket %s: %s", qPrintable(path_),
           qPrintable(server.errorString()));
    listener_.listening(false);
    return;
  }
  KLOG_I("boxsim: control socket %s", qPrintable(path_));
  listener_.listening(true);
  while (!listener_.stopping()) server.waitForNewConnection(100);
  server.close();
}

void ControlServer::serve(quintptr descriptor) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Commands that have ended are joined here, so the list stays short.
  for (auto it = running_.begin(); it != running_.end();) {
    if (*it->done) {
      it->thread.join();
      it = running_.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  running_.push_back(
      {std::thread([this, descriptor, done] {
         QLocalSocket socket;
         socket.setSocketDescriptor(descriptor);
         const QJsonDocument request = QJsonDocument::fromJson(readLine(socket, kRequestWaitMs));
         QStringList argv;
         for (const QJsonValue& v : request.array()) argv << v.toString();
         KLOG_I("boxsim: control command %s", qPrintable(argv.join(' ')));
         const ControlReply reply =
             request.isArray() ? commands_.run(argv) : ControlReply{kControlUsage, "bad request\n"};
         socket.write(
             line(QJsonDocument(QJsonObject{{"status", reply.status}, {"output", reply.output}})));
         socket.waitForBytesWritten(kRequestWaitMs);
         socket.disconnectFromServer();
         *done = true;
       }),
       done});
}

void ControlServer::stop() {
  listener_.stop();
  std::vector<Running> running;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running.swap(running_);
  }
  for (Running& r : running) r.thread.join();
  QLocalServer::removeServer(path_);
}

ControlReply sendControlCommand(const QString& path, const QStringList& argv) {
  QLocalSocket socket;
  socket.connectToServer(path);
  if (!socket.waitForConnected(kRequestWaitMs))
    return {kUnreachable,
            "cannot reach the simulator at " + path + ": " + socket.errorString() + "\n"};
  socket.write(line(QJsonDocument(QJsonArray::fromStringList(argv))));
  // A command may wait as long as it was told to; the simulator answers
  // every command in the end.
  const QByteArray reply = readLine(socket, -1);
  const QJsonObject object = QJsonDocument::fromJson(reply).object();
  if (!object.contains("status"))
    return {kUnreachable, "no answer from the simulator at " + path + "\n"};
  return {object.value("status").toInt(), object.value("output").toString()};
}

}  // namespace boxsim
