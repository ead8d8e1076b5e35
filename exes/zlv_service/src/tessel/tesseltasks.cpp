#include "tessel/tesseltasks.h"

#include "kvn_log/log.h"
#include "kvn_network/tessel_protocol.h"
#include "tessel/tessellink.h"

namespace tessel = kvn_network::tessel;

void TesselTasks::put(int taskId, std::unique_ptr<TesselTask> task) {
  tasks_[taskId] = std::move(task);
}

TesselTask* TesselTasks::find(int taskId) const {
  const auto found = tasks_.find(taskId);
  return found == tasks_.end() ? nullptr : found->second.get();
}

void TesselTasks::remove(int taskId) { tasks_.erase(taskId); }

void TesselTasks::pump() {
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    TesselTask& task = *it->second;
    if (!task.finished()) task.step();
    it = task.finished() ? tasks_.erase(it) : std::next(it);
  }
}

void TesselTasks::failAll(const QString& error) {
  // Taken out first: a task's onError must not find itself in the map.
  auto tasks = std::move(tasks_);
  tasks_.clear();
  for (auto& [id, task] : tasks) task->onError(error);
}

bool TesselTasks::create(TesselLink& link, const TaskFactoryRegistry& factories,
                         const QString& type, const QJsonObject& args) {
  const QByteArray typeText = type.toUtf8();
  const TesselTaskFactory* factory = factories.find(type);
  if (!factory) {
    KLOG_E("Task type %s is not valid", typeText.constData());
    return false;
  }
  const int taskId = nextTaskId_++;
  std::unique_ptr<TesselTask> task = (*factory)(link, taskId);
  if (!task) {
    KLOG_E("Failed to create task of type %s", typeText.constData());
    return false;
  }
  link.sendMessage(tessel::message::kTaskControl,
                   {{tessel::key::kTaskId, taskId},
                    {tessel::key::kAction, tessel::task_action::kCreate},
                    {tessel::key::kTaskType, type},
                    {tessel::key::kArgs, args}});
  KLOG_I("Task %d of type %s created", taskId, typeText.constData());
  TesselTask& started = *task;
  started.start(args);
  put(taskId, std::move(task));
  if (!started.finished()) started.step();
  return true;
}
