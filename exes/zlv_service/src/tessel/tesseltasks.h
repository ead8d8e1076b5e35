// The tasks of one client, by id, with the rules of their life: a task is
// dropped once finished, every task hears of a lost link, and agent-created
// tasks get ids counted from 1.
#pragma once

#include <QJsonObject>
#include <QString>
#include <map>
#include <memory>

#include "tessel/tesseltask.h"

class TesselLink;

class TesselTasks {
 public:
  // A task under an id already held replaces (and destroys) the old one.
  void put(int taskId, std::unique_ptr<TesselTask> task);
  // Null for an unknown id.
  TesselTask* find(int taskId) const;
  void remove(int taskId);
  std::size_t size() const { return tasks_.size(); }
  bool empty() const { return tasks_.empty(); }

  // Steps every task in id order; finished ones are removed, before or
  // after their step.
  void pump();
  // Tells every task why the link is gone and drops them all.
  void failAll(const QString& error);

  // Makes a task of that type with the next id, announces it to the box,
  // starts it and steps it once. False (logged) when the type is unknown or
  // its factory makes nothing.
  bool create(TesselLink& link, const TaskFactoryRegistry& factories, const QString& type,
              const QJsonObject& args);

 private:
  std::map<int, std::unique_ptr<TesselTask>> tasks_;
  int nextTaskId_ = 1;
};
