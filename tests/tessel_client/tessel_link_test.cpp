// The linked client against the simulated box: framing over the real link,
// pings and the idle time-out, tasks across a lost link, live log.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <atomic>
#include <thread>

#include "kvn_network/tessel_frame.h"
#include "log_capture.h"
#include "tessel_client_fixture.h"

namespace {

using namespace tessel_test;
using boxsim::LinkFault;
namespace tessel = kvn_network::tessel;

// Links the agent and starts one probe task; its id is 1 on a fresh client.
void linkWithTask(boxsim::TesselBox& box, ClientUnderTest& agent, int expectedLinks = 1) {
  ASSERT_TRUE(eventually([&] { return box.connectedCount() == expectedLinks; }));
  ASSERT_TRUE(eventually([&] { return agent.client->connectedToBox(); }));
  const auto before = box.record().taskControls().size();
  // The client takes tasks only once its frame loop runs; retry until then.
  ASSERT_TRUE(eventually([&] {
    if (box.record().taskControls().size() > before) return true;
    agent.client->startTask("probe", {});
    return eventually([&] { return box.record().taskControls().size() > before; }, 300ms);
  }));
}

bool answersQueries(boxsim::TesselBox& box) {
  const std::int64_t id = box.query({{"type", "test"}, {"test", 5}});
  const boxsim::TesselResponses responses = box.waitResponses(id, 5s);
  return responses.done && responses.responses.back().value("test").toInt() == 5;
}

TEST(TesselLinkTest, ProtocolFaultsCloseTheLinkAndTheClientComesBack) {
  kvn_test::LogCapture capture;
  auto box = startBox("127.0.2.50");
  ClientUnderTest agent("127.0.2.50");
  linkWithTask(*box, agent);

  // The largest frame passes and reaches the task with its JSON.
  const QByteArray largest(tessel::kMaxFrameBody, 'x');
  ASSERT_TRUE(box->sendTaskData(1, {{"n", 1}}, largest));
  ASSERT_TRUE(eventually([&] { return agent.probes.of("data").size() == 1; }));
  EXPECT_EQ(agent.probes.of("data")[0].payload, largest);
  EXPECT_EQ(agent.probes.of("data")[0].data, (QJsonObject{{"n", 1}}));
  EXPECT_EQ(box->pingsReceived(), 0);  // a young link gets no ping

  int links = 1;
  for (LinkFault fault :
       {LinkFault::OversizedFrame, LinkFault::TwoPayloads, LinkFault::ErrorMessage,
        LinkFault::InvalidJson, LinkFault::EmptyJson, LinkFault::UnknownType}) {
    SCOPED_TRACE(int(fault));
    ASSERT_TRUE(box->inject(fault));
    ++links;
    ASSERT_TRUE(eventually([&] { return box->connectedCount() == links; }));
    ASSERT_TRUE(answersQueries(*box));
  }
  // The task of the first link heard that the link was gone, once.
  const auto errors = agent.probes.of("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].error, "Disconnected from server");

  agent.client.reset();
  const std::string log = capture.text();
  for (const char* line :
       {"EE", "Tessel protocol error", "Tessel protocol error: two payloads in a row",
        "Protocol error from server", "Message error: empty or invalid JSON",
        "Protocol error, disconnecting client"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
  // The unknown type was answered with "error" before the link closed.
  EXPECT_FALSE(box->record().errorMessages().empty());
}

TEST(TesselLinkTest, AFlaggedFrameWaitsForItsWholePayloadAndUnknownTasksAreIgnored) {
  auto box = startBox("127.0.2.51");
  ClientUnderTest agent("127.0.2.51");
  linkWithTask(*box, agent);

  ASSERT_TRUE(box->sendTaskData(42, {{"lost", true}}));
  const QByteArray json = tessel::messageBody(tessel::message::kTask,
                                              {{"task_id", 1}, {"data", QJsonObject{{"k", 1}}}});
  ASSERT_TRUE(box->sendRaw(tessel::encodeFrame(json, true)));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(box->sendRaw(tessel::encodeHeader(10) + "01234"));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(agent.probes.of("data").empty());
  ASSERT_TRUE(box->sendRaw("56789"));
  ASSERT_TRUE(eventually([&] { return agent.probes.of("data").size() == 1; }));
  EXPECT_EQ(agent.probes.of("data")[0].payload, "0123456789");
  EXPECT_EQ(agent.probes.of("data")[0].data, (QJsonObject{{"k", 1}}));

  EXPECT_TRUE(answersQueries(*box));
  EXPECT_EQ(box->connectedCount(), 1);
  EXPECT_TRUE(agent.probes.of("error").empty());
}

TEST(TesselLinkTest, PingsKeepALiveLinkAndSilenceEndsIt) {
  TesselTimings timings = fastTimings();
  timings.pingInterval = 300ms;
  auto box = startBox("127.0.2.52");
  ClientUnderTest agent("127.0.2.52", timings);
  ASSERT_TRUE(box->waitConnected(10s));
  std::this_thread::sleep_for(1600ms);
  EXPECT_GE(box->pingsReceived(), 3);
  EXPECT_LE(box->pingsReceived(), 6);
  EXPECT_EQ(box->connectedCount(), 1);

  kvn_test::LogCapture capture;
  timings.pingInterval = 200ms;
  timings.idleLimit = 1000ms;
  auto quiet = startBox("127.0.2.53");
  quiet->setAnswerPings(false);
  ClientUnderTest unanswered("127.0.2.53", timings);
  ASSERT_TRUE(quiet->waitConnected(10s));
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(quiet->connectedCount(), 1);
  // Pings went out, yet nothing came back: the link is given up and made anew.
  ASSERT_TRUE(eventually([&] { return quiet->connectedCount() >= 2; }, 5s));
  EXPECT_GE(quiet->pingsReceived(), 2);
  unanswered.client.reset();
  EXPECT_NE(capture.text().find("Tessel: Connection timed out"), std::string::npos);
}

TEST(TesselLinkTest, ALostLinkEndsItsTasksAndTheNextLinkStartsClean) {
  auto box = startBox("127.0.2.54");
  ClientUnderTest agent("127.0.2.54");
  linkWithTask(*box, agent);
  ASSERT_TRUE(box->inject(LinkFault::Drop));
  ASSERT_TRUE(eventually([&] { return agent.probes.of("error").size() == 1; }));
  EXPECT_EQ(agent.probes.of("error")[0].error, "Disconnected from server");
  ASSERT_TRUE(eventually([&] { return box->connectedCount() == 2; }));
  EXPECT_TRUE(eventually([&] { return agent.validIps().size() == 2; }));
  EXPECT_EQ(agent.validIps(), (QStringList{"127.0.2.54", "127.0.2.54"}));

  // Task 1 is gone; its messages reach nobody, and the next task is 2.
  ASSERT_TRUE(box->sendTaskData(1, {{"late", true}}));
  linkWithTask(*box, agent, 2);
  EXPECT_EQ(box->record().taskControls().back().taskId, 2);
  EXPECT_TRUE(answersQueries(*box));
  EXPECT_TRUE(agent.probes.of("data").empty());
}

// Waits until lines logged here arrive at the box.
bool forwarding(boxsim::TesselBox& box) {
  return eventually([&] {
    KLOG_I("tail probe");
    for (const auto& line : box.logLines())
      if (line.text == "tail probe") return true;
    return false;
  });
}

TEST(TesselLogTest, LinesArriveOnceAndSendingThemLogsNothingForwarded) {
  kvn_test::LogCapture capture;
  kvn_log::setLevel(kvn_log::Trace);
  auto box = startBox("127.0.2.55");
  ClientUnderTest agent("127.0.2.55");
  ASSERT_TRUE(box->waitConnected(10s));
  ASSERT_TRUE(box->tailLogs(true));
  ASSERT_TRUE(forwarding(*box));

  KLOG_W("marked line %d", 7);
  ASSERT_TRUE(eventually([&] {
    for (const auto& line : box->logLines())
      if (line.text == "marked line 7") return true;
    return false;
  }));
  const auto settled = box->logLines().size();
  std::this_thread::sleep_for(800ms);
  // No line feeds another: nothing more came without new logging.
  EXPECT_EQ(box->logLines().size(), settled);
  for (const auto& line : box->logLines()) {
    EXPECT_FALSE(line.text.startsWith("Send message")) << line.text.toStdString();
    if (line.text != "marked line 7") continue;
    EXPECT_EQ(line.level, "warning");
    EXPECT_EQ(line.file, "tessel_link_test.cpp");
    EXPECT_GT(line.line, 0);
    EXPECT_FALSE(line.date.isEmpty());
  }

  ASSERT_TRUE(box->tailLogs(false));
  std::this_thread::sleep_for(500ms);
  KLOG_W("after tail off");
  std::this_thread::sleep_for(500ms);
  for (const auto& line : box->logLines()) EXPECT_NE(line.text, "after tail off");
}

TEST(TesselLogTest, ABlockedLinkDoesNotHoldUpTheThreadsThatLog) {
  kvn_test::LogCapture capture;
  auto box = startBox("127.0.2.56");
  ClientUnderTest agent("127.0.2.56");
  ASSERT_TRUE(box->waitConnected(10s));
  ASSERT_TRUE(box->tailLogs(true));
  ASSERT_TRUE(forwarding(*box));

  box->setSilent(true);
  const std::string filler(400, 'f');
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> loggers;
  for (int t = 0; t < 4; ++t)
    loggers.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) KLOG_I("logger %d line %d %s", t, i, filler.c_str());
    });
  for (auto& logger : loggers) logger.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);

  // Once the box reads again, the client says how much it had to drop.
  box->setSilent(false);
  EXPECT_TRUE(eventually(
      [&] { return capture.text().find("log lines were not forwarded") != std::string::npos; },
      20s));
}

}  // namespace
