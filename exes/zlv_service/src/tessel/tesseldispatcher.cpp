#include "tessel/tesseldispatcher.h"

#include <QJsonObject>

#include "kvn_log/log.h"
#include "kvn_network/tessel_frame.h"
#include "tessel/queryprocessor.h"
#include "tessel/tessellink.h"
#include "tessel/tesselreplier.h"
#include "tessel/tesseltasks.h"

namespace tessel = kvn_network::tessel;

TesselDispatcher::TesselDispatcher(TesselLink& link, const QueryProcessorRegistry& queries,
                                   TesselTasks& tasks, std::function<void(bool)> tailLogs)
    : link_(link), queries_(queries), tasks_(tasks), tailLogs_(std::move(tailLogs)) {}

TesselDispatcher::Outcome TesselDispatcher::dispatch(const QByteArray& json,
                                                     const QByteArray& payload) {
  const std::optional<QJsonObject> parsed = tessel::parseMessage(json);
  if (!parsed) {
    KLOG_W("Message error: empty or invalid JSON");
    return Outcome::Close;
  }
  const QJsonObject& message = *parsed;
  const QString type = message.value(tessel::key::kType).toString();
  if (type == QLatin1String(tessel::message::kPing)) return Outcome::Keep;
  if (type == QLatin1String(tessel::message::kError)) {
    KLOG_W("Protocol error from server");
    return Outcome::Close;
  }
  if (type == QLatin1String(tessel::message::kTask)) {
    onTask(message, payload);
    return Outcome::Keep;
  }
  if (type == QLatin1String(tessel::message::kQuery)) {
    onQuery(message);
    return Outcome::Keep;
  }
  if (type == QLatin1String(tessel::message::kTailLogs)) {
    const bool enabled = message.value(tessel::key::kEnabled).toBool();
    KLOG_D(enabled ? "Enabling log callback" : "Disabling log callback");
    tailLogs_(enabled);
    return Outcome::Keep;
  }
  KLOG_W("Protocol error, disconnecting client");
  KLOG_D("Received message: %s", json.constData());
  link_.sendMessage(tessel::message::kError, {});
  return Outcome::Close;
}

void TesselDispatcher::onTask(const QJsonObject& message, const QByteArray& payload) {
  // An id that is not a whole number finds no task, like an unknown one.
  const int taskId = message.value(tessel::key::kTaskId).toInt(0);
  TesselTask* task = tasks_.find(taskId);
  if (!task) return;
  if (message.contains(tessel::key::kError)) {
    task->markFinished();
    task->onError(message.value(tessel::key::kError).toString());
    tasks_.remove(taskId);
    return;
  }
  task->onData(message.value(tessel::key::kData).toObject(), payload);
}

void TesselDispatcher::onQuery(const QJsonObject& message) {
  TesselReplier replier(link_, message.value(tessel::key::kQueryId).toInteger());
  const QJsonObject query = message.value(tessel::key::kQuery).toObject();
  const QString type = query.value(tessel::key::kType).toString();
  KLOG_D("Received query %s", type.toUtf8().constData());
  if (TesselQueryProcessor* processor = queries_.find(type)) {
    processor->process(query, replier);
    return;
  }
  replier.reply(
      {{tessel::key::kOk, false}, {tessel::key::kError, "No processor for this query type"}}, true);
}
