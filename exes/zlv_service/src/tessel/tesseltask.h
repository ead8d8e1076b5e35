// A task is a conversation with the box that outlives one message, such as
// streaming a file. The client owns it from creation until it finishes, is
// aborted, or the link drops, and steps it while the link has room.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <functional>
#include <map>
#include <memory>

class TesselLink;

class TesselTask {
 public:
  TesselTask(TesselLink& link, int taskId) : link_(link), taskId_(taskId) {}
  virtual ~TesselTask() = default;
  TesselTask(const TesselTask&) = delete;
  TesselTask& operator=(const TesselTask&) = delete;

  virtual void start(const QJsonObject& args) = 0;
  // One piece of work; called only while the link's output queue is short.
  virtual void step() = 0;
  virtual void onData(const QJsonObject& data, const QByteArray& payload) = 0;
  virtual void onError(const QString& error) = 0;

  int taskId() const { return taskId_; }
  bool finished() const { return finished_; }
  // Marks the task done without telling the box (it already knows).
  void markFinished() { finished_ = true; }

 protected:
  // Each does nothing once the task is finished.
  void abort(const QString& error);
  void finish();
  void sendData(const QJsonObject& data);
  void sendData(const QJsonObject& data, const QByteArray& payload);
  void lockLogs();
  void unlockLogs();

 private:
  TesselLink& link_;
  int taskId_;
  bool finished_ = false;
};

using TesselTaskFactory = std::function<std::unique_ptr<TesselTask>(TesselLink&, int taskId)>;

class TaskFactoryRegistry {
 public:
  void add(const QString& type, TesselTaskFactory factory);
  // Null for an unknown type.
  const TesselTaskFactory* find(const QString& type) const;

 private:
  std::map<QString, TesselTaskFactory> factories_;
};
