// What processors and tasks see of the control channel: sending messages
// and keeping their own traffic out of the forwarded log. The client
// implements it; tests bring a recording fake.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class TesselLink {
 public:
  virtual ~TesselLink() = default;

  // Writes one message (the object plus "type"); nothing while no link is up.
  virtual void sendMessage(const QString& type, const QJsonObject& object) = 0;
  // The same, followed by a binary payload frame.
  virtual void sendMessage(const QString& type, const QJsonObject& object,
                           const QByteArray& payload) = 0;

  // While any task holds the lock, messages are not written to the log, so
  // that messages carrying log text never produce log lines themselves.
  virtual void lockLogs(int taskId) = 0;
  virtual void unlockLogs(int taskId) = 0;

  // Creates an agent-side task of that type on the channel's thread.
  virtual void startTask(const QString& type, const QJsonObject& args) = 0;
};
