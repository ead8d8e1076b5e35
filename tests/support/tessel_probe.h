// A task and a processor that record what reaches them from the control
// channel: enough to see the client's task and query rules from outside.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <memory>
#include <mutex>
#include <vector>

#include "tessel/queryprocessor.h"
#include "tessel/tesselreplier.h"
#include "tessel/tesseltask.h"

namespace kvn_test {

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
