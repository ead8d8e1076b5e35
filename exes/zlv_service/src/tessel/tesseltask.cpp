#include "tessel/tesseltask.h"

#include "kvn_network/tessel_protocol.h"
#include "tessel/tessellink.h"

using namespace kvn_network::tessel::message;

void TesselTask::abort(const QString& error) {
  if (finished_) return;
  link_.sendMessage(kTaskControl, {{"task_id", taskId_}, {"action", "abort"}, {"error", error}});
  finished_ = true;
}

void TesselTask::finish() {
  if (finished_) return;
  link_.sendMessage(kTaskControl, {{"task_id", taskId_}, {"action", "finish"}});
  finished_ = true;
}

void TesselTask::sendData(const QJsonObject& data) {
  if (finished_) return;
  link_.sendMessage(kTask, {{"task_id", taskId_}, {"data", data}});
}

void TesselTask::sendData(const QJsonObject& data, const QByteArray& payload) {
  if (finished_) return;
  link_.sendMessage(kTask, {{"task_id", taskId_}, {"data", data}}, payload);
}

void TesselTask::lockLogs() {
  if (!finished_) link_.lockLogs(taskId_);
}

void TesselTask::unlockLogs() { link_.unlockLogs(taskId_); }

void TaskFactoryRegistry::add(const QString& type, TesselTaskFactory factory) {
  factories_[type] = std::move(factory);
}

const TesselTaskFactory* TaskFactoryRegistry::find(const QString& type) const {
  const auto found = factories_.find(type);
  return found == factories_.end() ? nullptr : &found->second;
}
