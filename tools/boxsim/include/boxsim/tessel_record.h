// What the simulated box has seen on the Tessel channel, for tests and the
// control commands. The link thread writes; any thread reads copies or waits
// for a condition.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "boxsim/watched_state.h"

namespace boxsim {

struct TesselLogLine {
  QString level;
  QString date;
  QString file;
  int line = 0;
  QString text;
  // "<level> <date> <file>:<line> - <text>"
  QString toString() const;
};

// One "task_control" message of the agent.
struct TesselTaskControl {
  std::int32_t taskId = 0;
  QString action;  // "create", "finish" or "abort"
  QString taskType;
  QJsonObject args;
  QString error;
};

// One "task" message of a task that is not an upload (uploads go to files).
struct TesselTaskData {
  std::int32_t taskId = 0;
  QJsonObject data;
  QByteArray payload;
  bool hasPayload = false;
};

// A "file_upload" task, reassembled into a file of the box.
struct TesselUpload {
  std::int32_t taskId = 0;
  QString path;
  std::int64_t size = 0;
  QJsonObject args;
  // True once "finish" came; false after an abort, an error or a lost link.
  bool complete = false;
  QString error;
};

// The answers to one query, in order; done once one came with done = true.
struct TesselResponses {
  std::vector<QJsonObject> responses;
  bool done = false;
};

class TesselRecord {
 public:
  // Written by the link.
  void linkUp();
  void linkDown();
  void addEvent(const QString& event);
  void addPing();
  void addErrorMessage(const QJsonObject& message);
  void addLogLine(TesselLogLine line);
  void addResponse(std::int64_t queryId, const QJsonObject& response, bool done);
  void addTaskControl(TesselTaskControl control);
  void addTaskData(TesselTaskData data);
  void addUpload(TesselUpload upload);

  // True while an agent link has passed the hello.
  bool linked() const;
  // Links that passed the hello, since start.
  int connectedCount() const;
  int pingsReceived() const;
  // Hellos refused, faults, closed links: one line each.
  QStringList events() const;
  std::vector<QJsonObject> errorMessages() const;
  std::vector<TesselLogLine> logLines() const;
  TesselResponses responses(std::int64_t queryId) const;
  std::vector<TesselTaskControl> taskControls() const;
  std::vector<TesselTaskData> taskData() const;
  // Ended uploads, complete or not, in the order they ended.
  std::vector<TesselUpload> uploads() const;

  // Waits until done() holds, the time has passed or the box is shutting
  // down; returns done()'s last value.
  bool waitUntil(const std::function<bool(const TesselRecord&)>& done,
                 std::chrono::milliseconds limit) const;
  // Wakes every waiter; later waits return at once.
  void shutDown();

 private:
  template <typename F>
  void change(F f);
  template <typename F>
  auto read(F f) const;

  WatchedState state_;
  bool linked_ = false;
  int connectedCount_ = 0;
  int pings_ = 0;
  QStringList events_;
  std::vector<QJsonObject> errorMessages_;
  std::vector<TesselLogLine> logLines_;
  std::map<std::int64_t, TesselResponses> responses_;
  std::vector<TesselTaskControl> taskControls_;
  std::vector<TesselTaskData> taskData_;
  std::vector<TesselUpload> uploads_;
};

}  // namespace boxsim
