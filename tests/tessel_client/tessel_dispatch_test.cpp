// The dispatcher and the task rules without a socket: what each message
// makes the agent do and send.
#include <gtest/gtest.h>

#include <QJsonDocument>

#include "kvn_log/log.h"
#include "recording_tessel_link.h"
#include "tessel/logforwarder.h"
#include "tessel/tesseldispatcher.h"
#include "tessel/tesseltasks.h"
#include "tessel_probe.h"

namespace {

using kvn_test::ProbeLog;
using kvn_test::RecordingTesselLink;
using Outcome = TesselDispatcher::Outcome;

QByteArray json(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// A processor that forgets to answer.
class SilentProcessor : public TesselQueryProcessor {
 public:
  void process(const QJsonObject&, TesselReplier&) override {}
};

class DispatchTest : public ::testing::Test {
 protected:
  DispatchTest() {
    queries.add("test", std::make_unique<kvn_test::EchoProcessor>());
    queries.add("silent", std::make_unique<SilentProcessor>());
    factories.add("probe", kvn_test::probeTaskFactory(probes));
  }

  Outcome dispatch(const QJsonObject& object, const QByteArray& payload = {}) {
    return dispatcher.dispatch(json(object), payload);
  }

  RecordingTesselLink link;
  QueryProcessorRegistry queries;
  TaskFactoryRegistry factories;
  ProbeLog probes;
  TesselTasks tasks;
  std::vector<bool> tailSwitches;
  TesselDispatcher dispatcher{link, queries, tasks,
                              [this](bool enabled) { tailSwitches.push_back(enabled); }};
};

TEST_F(DispatchTest, FaultsCloseTheLinkAndOnlyAnUnknownTypeIsAnswered) {
  EXPECT_EQ(dispatcher.dispatch("not json", {}), Outcome::Close);
  EXPECT_EQ(dispatcher.dispatch("{}", {}), Outcome::Close);
  EXPECT_EQ(dispatcher.dispatch("[1,2]", {}), Outcome::Close);
  EXPECT_EQ(dispatch({{"type", "error"}, {"why", "x"}}), Outcome::Close);
  EXPECT_TRUE(link.messages().empty());

  EXPECT_EQ(dispatch({{"type", "bogus"}}), Outcome::Close);
  ASSERT_EQ(link.messages().size(), 1u);
  EXPECT_EQ(link.messages()[0].type, "error");
  EXPECT_TRUE(link.messages()[0].object.isEmpty());

  EXPECT_EQ(dispatch({{"type", "ping"}}), Outcome::Keep);
  EXPECT_EQ(link.messages().size(), 1u);
}

TEST_F(DispatchTest, EveryQueryGetsExactlyOneFinalAnswer) {
  dispatch(
      {{"type", "query"}, {"query_id", 7}, {"query", QJsonObject{{"type", "test"}, {"test", 5}}}});
  dispatch({{"type", "query"}, {"query_id", 8}, {"query", QJsonObject{{"type", "nothing"}}}});
  dispatch({{"type", "query"}, {"query_id", 9}, {"query", QJsonObject{{"type", "silent"}}}});
  ASSERT_EQ(link.messages().size(), 3u);

  const QJsonObject echo = link.messages()[0].object;
  EXPECT_EQ(echo.value("query_id").toInt(), 7);
  EXPECT_TRUE(echo.value("done").toBool());
  EXPECT_EQ(echo.value("response").toObject(), (QJsonObject{{"ok", true}, {"test", 5}}));

  EXPECT_EQ(link.messages()[1].object.value("query_id").toInt(), 8);
  EXPECT_EQ(link.messages()[1].object.value("response").toObject(),
            (QJsonObject{{"ok", false}, {"error", "No processor for this query type"}}));

  EXPECT_EQ(link.messages()[2].object.value("query_id").toInt(), 9);
  EXPECT_EQ(link.messages()[2].object.value("response").toObject().value("error").toString(),
            "Replier failed to close the stream");
  for (const auto& message : link.messages()) EXPECT_EQ(message.type, "response");
}

TEST_F(DispatchTest, TaskMessagesReachOnlyKnownTasksAndAnErrorEndsTheTask) {
  ASSERT_TRUE(tasks.create(link, factories, "probe", {{"a", 1}}));
  ASSERT_TRUE(tasks.create(link, factories, "probe", {}));
  EXPECT_FALSE(tasks.create(link, factories, "nothing", {}));
  ASSERT_EQ(link.messages().size(), 2u);
  EXPECT_EQ(link.messages()[0].object, (QJsonObject{{"task_id", 1},
                                                    {"action", "create"},
                                                    {"task_type", "probe"},
                                                    {"args", QJsonObject{{"a", 1}}}}));
  EXPECT_EQ(link.messages()[1].object.value("task_id").toInt(), 2);

  EXPECT_EQ(dispatch({{"type", "task"}, {"task_id", 99}, {"data", QJsonObject{{"x", 1}}}}),
            Outcome::Keep);
  EXPECT_EQ(dispatch({{"type", "task"}, {"task_id", 2}, {"data", QJsonObject{{"x", 2}}}}, "bytes"),
            Outcome::Keep);
  EXPECT_EQ(dispatch({{"type", "task"}, {"task_id", 1}, {"error", "box gave up"}}), Outcome::Keep);

  const auto data = probes.of("data");
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0].taskId, 2);
  EXPECT_EQ(data[0].payload, "bytes");
  const auto errors = probes.of("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].error, "box gave up");
  EXPECT_EQ(tasks.find(1), nullptr);
  ASSERT_NE(tasks.find(2), nullptr);

  // The aborted task is gone: a second error reaches nobody.
  dispatch({{"type", "task"}, {"task_id", 1}, {"error", "again"}});
  EXPECT_EQ(probes.of("error").size(), 1u);

  tasks.failAll("Disconnected from server");
  EXPECT_TRUE(tasks.empty());
  EXPECT_EQ(probes.of("error").back().error, "Disconnected from server");
}

TEST_F(DispatchTest, FinishedTasksLeaveAtTheNextPumpAndIdsKeepCounting) {
  ASSERT_TRUE(tasks.create(link, factories, "probe", {{"finish", true}}));
  EXPECT_EQ(link.messages().back().object, (QJsonObject{{"task_id", 1}, {"action", "finish"}}));
  EXPECT_EQ(tasks.size(), 1u);
  tasks.pump();
  EXPECT_TRUE(tasks.empty());
  ASSERT_TRUE(tasks.create(link, factories, "probe", {}));
  EXPECT_NE(tasks.find(2), nullptr);
}

TEST_F(DispatchTest, TailLogsSwitchesForwarding) {
  dispatch({{"type", "tail_logs"}, {"enabled", true}});
  dispatch({{"type", "tail_logs"}, {"enabled", false}});
  dispatch({{"type", "tail_logs"}});
  EXPECT_EQ(tailSwitches, (std::vector<bool>{true, false, false}));
}

TEST(LogForwarderTest, QueuesBoundedLinesAndSkipsSuppressedThreads) {
  int wakes = 0;
  LogForwarder forwarder([&] { ++wakes; }, 3);
  KLOG_E("before the callback");
  forwarder.enable();
  KLOG_E("first %d", 1);
  {
    const LogForwarder::Suppress suppress;
    KLOG_E("while forwarding");
  }
  for (int i = 0; i < 5; ++i) KLOG_E("more %d", i);
  forwarder.disable();
  KLOG_E("after the callback");

  // Disabling drops what was queued: nothing is sent after tail_logs off.
  std::uint64_t dropped = 0;
  EXPECT_TRUE(forwarder.take(&dropped).empty());

  forwarder.enable();
  KLOG_E("first %d", 1);
  KLOG_W("second");
  std::vector<LogForwarder::Line> lines = forwarder.take(&dropped);
  forwarder.disable();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "first 1");
  EXPECT_EQ(lines[0].level, "error");
  EXPECT_EQ(lines[0].file, "tessel_dispatch_test.cpp");
  EXPECT_GT(lines[0].line, 0);
  EXPECT_EQ(lines[1].level, "warning");
  EXPECT_EQ(dropped, 0u);
  EXPECT_EQ(wakes, 2);  // once per empty queue

  EXPECT_STREQ(LogForwarder::levelName(0), "trace");
  EXPECT_STREQ(LogForwarder::levelName(5), "fatal");
  EXPECT_STREQ(LogForwarder::levelName(6), "???");
  EXPECT_STREQ(LogForwarder::levelName(-1), "???");
}

TEST(LogForwarderTest, AFullQueueDropsAndCounts) {
  LogForwarder forwarder([] {}, 3);
  forwarder.enable();
  for (int i = 0; i < 5; ++i) KLOG_E("line %d", i);
  std::uint64_t dropped = 0;
  const auto lines = forwarder.take(&dropped);
  forwarder.disable();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].text, "line 2");
  EXPECT_EQ(dropped, 2u);
}

}  // namespace
