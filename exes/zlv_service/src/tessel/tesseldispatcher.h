// What the agent does with one message from the box: answers queries
// through their processors, feeds or aborts tasks, and switches the live
// log. It knows no socket: the caller closes the link when told to, so the
// same code runs behind the real link, in tests and in the fuzzer.
#pragma once

#include <QByteArray>
#include <functional>

class QueryProcessorRegistry;
class TesselLink;
class TesselTasks;

class TesselDispatcher {
 public:
  enum class Outcome { Keep, Close };

  // tailLogs switches live log forwarding on (true) or off.
  TesselDispatcher(TesselLink& link, const QueryProcessorRegistry& queries, TesselTasks& tasks,
                   std::function<void(bool enabled)> tailLogs);

  // json is the body of a JSON frame; payload the frame that followed it
  // when one was announced (else empty).
  Outcome dispatch(const QByteArray& json, const QByteArray& payload);

 private:
  void onTask(const class QJsonObject& message, const QByteArray& payload);
  void onQuery(const class QJsonObject& message);

  TesselLink& link_;
  const QueryProcessorRegistry& queries_;
  TesselTasks& tasks_;
  std::function<void(bool)> tailLogs_;
};
