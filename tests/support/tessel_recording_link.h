// A control-channel link that only records what is sent through it, and a
// task and a processor that record what reaches them: enough to drive the
// dispatcher and the client's task rules without a box.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <memory>
#include <mutex>
#include <vector>

#include "tessel/queryprocessor.h"
#include "tessel/tessellink.h"
#include "tessel/tesselreplier.h"
#include "tessel/tesseltask.h"

namespace kvn_test {

struct SentTesselMessage {
  QString type;
  QJsonObject object;
  QByteArray payload;
  bool hasPayload = false;
};

class RecordingTesselLink : public TesselLink {
 public:
  void sendMessage(const QString& type, const QJsonObject& object) override {
    sent.push_back({type, object, {}, false});
  }
  void sendMessage(const QString& type, const QJsonObject& object,
                   const QByteArray& payload) override {
    sent.push_back({type, object, payload, true});
  }
  void lockLogs(int) override {}
  void unlockLogs(int) override {}
  void startTask(const QString& type, const QJsonObject&) override { startedTasks.push_back(type); }

  std::vector<SentTesselMessage> sent;
  std::vector<QString> startedTasks;
};

// What the probe tasks of one test saw; safe to read from another thread.
class ProbeLog {
 public:
  struct Entry {
    int taskId;
    QString what;  // "start", "data", "error"
    QJsonObject data;
    QByteArray payload;
    QString error;
  };
  void add(Entry entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::vector<Entry> of(const QString& what) const {
    std::vector<Entry> found;
    for (const Entry& entry : entries())
      if (entry.what == what) found.push_back(entry);
    return found;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

// Runs until the box says otherwise; finishes when its args say "finish".
class ProbeTask : public TesselTask {
 public:
  ProbeTask(TesselLink& link, int taskId, ProbeLog& log) : TesselTask(link, taskId), log_(log) {}
  void start(const QJsonObject& args) override {
    log_.add({taskId(), "start", args, {}, {}});
    if (args.value("finish").toBool()) finish();
  }
  void step() override {}
  void onData(const QJsonObject& data, const QByteArray& payload) override {
    log_.add({taskId(), "data", data, payload, {}});
  }
  void onError(const QString& error) override { log_.add({taskId(), "error", {}, {}, error}); }

 private:
  ProbeLog& log_;
};

inline TesselTaskFactory probeTaskFactory(ProbeLog& log) {
  return [&log](TesselLink& link, int taskId) {
    return std::make_unique<ProbeTask>(link, taskId, log);
  };
}

// "test": answers {"ok": true, "test": <the query's "test">}.
class EchoProcessor : public TesselQueryProcessor {
 public:
  void process(const QJsonObject& query, TesselReplier& replier) override {
    replier.reply({{"ok", true}, {"test", query.value("test")}}, true);
  }
};

}  // namespace kvn_test
