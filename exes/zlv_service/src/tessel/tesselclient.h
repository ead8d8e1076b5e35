// The agent's end of the control channel: one permanent TLS link to the
// box, on a thread of its own. The client finds the box (stored addresses,
// then the boxes that answer on the local network, then a host name made
// from the licence), proves itself and checks the box's proof, and then
// reads the box's messages, sends pings, pumps its tasks and notices a dead
// link. It reconnects until the thread is asked to stop.
//
// Everything that touches the socket runs on the client's thread; other
// threads reach it only through startTask, the log lock and the queued
// signals.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QSslError>
#include <QSslSocket>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "kvn_mdns/box_reply.h"
#include "kvn_network/tessel_frame.h"
#include "tessel/tessellink.h"
#include "tessel/tesseltimings.h"

class QEventLoop;
class LogForwarder;
class QueryProcessorRegistry;
class TaskFactoryRegistry;
class TesselDispatcher;
class TesselTasks;

class TesselClient : public QThread, public TesselLink {
  Q_OBJECT

 public:
  // Runs one search for boxes on the local network and returns what
  // answered; an empty function skips that step.
  using BoxFinderFunction = std::function<std::vector<kvn_mdns::FoundBox>()>;

  // The registries must outlive the client; they are read on its thread.
  TesselClient(TesselClientSettings settings, const QueryProcessorRegistry& queries,
               const TaskFactoryRegistry& taskFactories, BoxFinderFunction findBoxes,
               TesselTimings timings = {});
  // Stops the thread and waits for it.
  ~TesselClient() override;

  // Asks the loop to end and wakes it from any wait.
  void stop();

  bool connectedToBox() const { return connected_.load(); }

  // TesselLink. The sends are for the client's thread (processors and
  // tasks run there).
  void sendMessage(const QString& type, const QJsonObject& object) override;
  void sendMessage(const QString& type, const QJsonObject& object,
                   const QByteArray& payload) override;
  void lockLogs(int taskId) override;
  void unlockLogs(int taskId) override;
  void startTask(const QString& type, const QJsonObject& args) override;

 signals:
  // The address that worked, to be stored as the box's address.
  void validBoxIp(const QString& boxIp);
  void callOnLog(const QString& level, const QString& date, const QString& file, int line,
                 const QString& text);
  void callStartTask(const QString& type, const QJsonObject& args);

 public slots:
  void socketError(QAbstractSocket::SocketError error);
  void socketSslErrors(const QList<QSslError>& errors);
  void actualOnLog(const QString& level, const QString& date, const QString& file, int line,
                   const QString& text);
  void actualStartTask(const QString& type, const QJsonObject& args);

 protected:
  void run() override;

 private:
  void connectToBox();
  bool tryAddresses(const QStringList& addresses, const char* source);
  bool tryAddress(const QString& address);
  bool handshake();
  // Reads exactly size bytes of the hello answer: the first piece may take
  // firstWait, each further one the shorter wait of the hello.
  bool readHello(QByteArray& out, qint64 size, TesselTimings::ms firstWait);
  void frameLoop();
  // Takes the received bytes and dispatches the complete messages; false
  // when the link was closed for a fault.
  bool receive(kvn_network::tessel::TesselFrameReader& reader, TesselDispatcher& dispatcher);
  // Aborts a link on which nothing came for too long.
  bool idleTooLong();
  void endLink();
  void setTailLogs(bool enabled);
  void forwardLogs();
  void write(const QString& type, const QJsonObject& object, const QByteArray* payload);
  void writeFrame(const QByteArray& body, bool payloadFollows);
  // Waits while more than the back-pressure limit is queued in the socket.
  void waitForRoom();
  bool logsLocked();

  // Sleeps in short steps; false when the thread is asked to stop.
  bool pause(TesselTimings::ms duration);
  // Runs the thread's events until the socket does something, the time is
  // up or wake() is called.
  void waitActivity(TesselTimings::ms limit);
  // Waits until done() holds; false when the time is up, the socket is
  // unconnected or the thread is asked to stop.
  bool waitUntil(TesselTimings::ms limit, const std::function<bool()>& done);
  // Ends the current wait of the client's thread (any thread may call it).
  void wake();

  TesselClientSettings settings_;
  const QueryProcessorRegistry& queries_;
  const TaskFactoryRegistry& taskFactories_;
  BoxFinderFunction findBoxes_;
  const TesselTimings timings_;

  // Lives on the client's thread: queued calls to the client land here.
  std::unique_ptr<QObject> context_;
  std::unique_ptr<QSslSocket> socket_;
  std::unique_ptr<TesselTasks> tasks_;
  std::unique_ptr<LogForwarder> forwarder_;
  QString linkAddress_;
  QEventLoop* waitLoop_ = nullptr;

  qint64 lastPingSent_ = 0;
  qint64 lastReceived_ = 0;
  bool tailLogs_ = false;
  // Set while the frame loop runs: only then may agent tasks start.
  bool inFrameLoop_ = false;
  std::mutex writeMutex_;
  std::atomic<int> connected_{0};
  std::mutex logLockMutex_;
  std::set<int> logLockedTasks_;
};
