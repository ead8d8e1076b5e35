// The channel's handlers as the application registers them, over a
// recording link and an agent whose managers only note what they are asked.
#pragma once

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <mutex>
#include <vector>

#include "kvn_log/errors.h"
#include "kvn_network/tessel_protocol.h"
#include "log_capture.h"
#include "recording_tessel_link.h"
#include "tessel/launchactionrunner.h"
#include "tessel/tesselhandlers.h"
#include "tessel/tesselreplier.h"

namespace kvn_test {

// What the managers were asked, from whichever thread asked.
struct ControlCalls {
  std::mutex mutex;
  std::vector<std::int64_t> added;
  std::vector<std::pair<std::int64_t, bool>> stopped;
  std::vector<bool> stoppedAll;
  std::vector<std::pair<QString, QString>> restorations;
  std::vector<QString> deletions;
  std::vector<std::pair<QString, bool>> stoppedRestorations;
  std::vector<std::pair<QString, bool>> stoppedDeletions;
  std::vector<bool> upgrades;
  std::vector<bool> resetFlags;
  int updates = 0;

  template <typename T>
  std::vector<T> get(const std::vector<T>& list) {
    std::lock_guard lock(mutex);
    return list;
  }
};

class HandlersTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kQueryId = 77;

  HandlersTest() {
    control_.addBackup = [this](std::int64_t jobId) { return note(calls_.added, jobId, result_); };
    control_.stopBackup = [this](std::int64_t jobId, bool forUpgrade) {
      return note(calls_.stopped, {jobId, forUpgrade}, result_);
    };
    control_.stopAllBackups = [this](bool forUpgrade) { note(calls_.stoppedAll, forUpgrade, 0); };
    control_.startRestoration = [this](const QString& id, const QString& target) {
      return note(calls_.restorations, {id, target}, result_);
    };
    control_.startDeletion = [this](const QString& id) {
      return note(calls_.deletions, id, result_);
    };
    control_.stopRestoration = [this](const QString& id, bool forUpgrade) {
      return note(calls_.stoppedRestorations, {id, forUpgrade}, result_);
    };
    control_.stopDeletion = [this](const QString& id, bool forUpgrade) {
      return note(calls_.stoppedDeletions, {id, forUpgrade}, result_);
    };
    control_.updateConfiguration = [this] {
      std::lock_guard lock(calls_.mutex);
      ++calls_.updates;
      return KVN_OK;
    };
    control_.startUpgrade = [this](bool reset) { return note(calls_.upgrades, reset, result_); };
    control_.setResetAgent = [this](bool reset) {
      return note(calls_.resetFlags, reset, resetResult_);
    };
    facts_.agentVersion = "3.6.2.2";
    facts_.startedAt = QDateTime::fromSecsSinceEpoch(1780000000, Qt::UTC);
    kvn_log::setLevel(kvn_log::Debug);
  }

  void registerHandlers() { registerTesselHandlers(queries_, tasks_, control_, facts_, runner_); }

  // The "response" messages of one query, in order, each checked for the
  // query id.
  std::vector<QJsonObject> ask(const QJsonObject& query) {
    if (queries_.find(query.value("type").toString()) == nullptr) registerHandlers();
    link_.clear();
    {
      TesselReplier replier(link_, kQueryId);
      TesselQueryProcessor* processor = queries_.find(query.value("type").toString());
      EXPECT_NE(processor, nullptr) << query.value("type").toString().toStdString();
      if (processor) processor->process(query, replier);
    }
    std::vector<QJsonObject> responses;
    for (const auto& message : link_.messagesOfType("response")) {
      EXPECT_EQ(message.object.value("query_id").toInteger(), kQueryId);
      responses.push_back(message.object);
    }
    return responses;
  }

  // The one final answer of a query that answers once.
  QJsonObject answer(const QJsonObject& query) {
    const auto responses = ask(query);
    EXPECT_EQ(responses.size(), 1u);
    if (responses.empty()) return {};
    EXPECT_TRUE(responses.back().value("done").toBool());
    return responses.back().value("response").toObject();
  }

  QJsonObject launch(const QString& action, const QString& args, const QString& intent = {}) {
    const QJsonObject reply =
        answer({{"type", "launch_action"}, {"action", action}, {"args", args}, {"intent", intent}});
    // The work is on the runner's threads; what it did is checked after.
    EXPECT_TRUE(runner_.waitIdle(std::chrono::seconds(10)));
    return reply;
  }

  static QJsonObject ok() { return {{"ok", true}}; }
  static QJsonObject failed(const char* error) { return {{"ok", false}, {"error", error}}; }

  bool logged(const std::string& text) const { return log_.text().find(text) != std::string::npos; }

  LogCapture log_;
  RecordingTesselLink link_;
  ControlCalls calls_;
  std::uint32_t result_ = KVN_OK;
  std::uint32_t resetResult_ = KVN_OK;
  AgentControl control_;
  AgentFacts facts_;
  LaunchActionRunner runner_;
  QueryProcessorRegistry queries_;
  TaskFactoryRegistry tasks_;

 private:
  template <typename T>
  std::uint32_t note(std::vector<T>& list, T value, std::uint32_t result) {
    std::lock_guard lock(calls_.mutex);
    list.push_back(std::move(value));
    return result;
  }
};

}  // namespace kvn_test
