// A control channel that keeps what is sent on it instead of writing
// frames: the messages with their payloads, the log locks and the tasks
// asked for. For tests of processors, tasks and the client's dispatch.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "tessel/tessellink.h"

namespace kvn_test {

class RecordingTesselLink : public TesselLink {
 public:
  struct Message {
    QString type;
    QJsonObject object;
    QByteArray payload;
    bool hasPayload = false;
  };

  void sendMessage(const QString& type, const QJsonObject& object) override {
    std::lock_guard lock(mutex_);
    messages_.push_back({type, object, {}, false});
  }
  void sendMessage(const QString& type, const QJsonObject& object,
                   const QByteArray& payload) override {
    std::lock_guard lock(mutex_);
    messages_.push_back({type, object, payload, true});
  }
  void lockLogs(int taskId) override {
    std::lock_guard lock(mutex_);
    ++logLocks_[taskId];
  }
  void unlockLogs(int taskId) override {
    std::lock_guard lock(mutex_);
    --logLocks_[taskId];
  }
  void startTask(const QString& type, const QJsonObject& args) override {
    std::lock_guard lock(mutex_);
    startedTasks_.emplace_back(type, args);
  }

  std::vector<Message> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<Message> messagesOfType(const QString& type) const {
    std::vector<Message> found;
    for (auto& message : messages()) {
      if (message.type == type) found.push_back(message);
    }
    return found;
  }
  // Locks minus unlocks of the task's log lock (0 when balanced).
  int logLocks(int taskId) const {
    std::lock_guard lock(mutex_);
    const auto found = logLocks_.find(taskId);
    return found == logLocks_.end() ? 0 : found->second;
  }
  bool everLockedLogs(int taskId) const {
    std::lock_guard lock(mutex_);
    return logLocks_.count(taskId) != 0;
  }
  std::vector<std::pair<QString, QJsonObject>> startedTasks() const {
    std::lock_guard lock(mutex_);
    return startedTasks_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    messages_.clear();
    logLocks_.clear();
    startedTasks_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::map<int, int> logLocks_;
  std::vector<std::pair<QString, QJsonObject>> startedTasks_;
};

}  // namespace kvn_test
