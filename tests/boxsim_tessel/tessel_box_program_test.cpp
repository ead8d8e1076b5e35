// The simulator program's Tessel channel, driven by "boxsim ctl" over the
// control socket while the scripted client plays the agent.
#include <gtest/gtest.h>

#include <QFile>

#include "boxsim_process.h"
#include "process_runner.h"
#include "temp_dir.h"
#include "tessel_test_client.h"

namespace {

using kvn_test::ProcessResult;
using kvn_test::ProcessRunner;
using kvn_test::TesselTestClient;

const QString kCryptkey = "a1b2c3d4e5f60718293a4b5c6d7e8f90";
const QString kAddress = "127.0.1.20";

class Ctl {
 public:
  ProcessResult run(const QStringList& command) {
    return ProcessRunner(BOXSIM_BINARY).run(QStringList{"ctl", "--listen", kAddress} + command);
  }
  // Starts a command that waits for the agent; finish() collects it.
  void start(const QStringList& command) {
    runner_.start(QStringList{"ctl", "--listen", kAddress} + command);
  }
  ProcessResult finish() { return runner_.finish(); }

 private:
  ProcessRunner runner_{BOXSIM_BINARY};
};

// Answers the next query with the given responses, the last one done.
void answer(TesselTestClient& client, const std::vector<QJsonObject>& responses,
            QJsonObject* query = nullptr) {
  const auto received = client.receiveType("query");
  ASSERT_TRUE(received);
  if (query) *query = received->object.value("query").toObject();
  for (std::size_t i = 0; i < responses.size(); ++i)
    client.send("response", {{"query_id", received->object.value("query_id")},
                             {"done", i + 1 == responses.size()},
                             {"response", responses[i]}});
}

TEST(BoxsimTesselProgram, ScriptsDriveTheAgentThroughTheControlSocket) {
  kvn_test::TempDir store;
  kvn_test::BoxsimProcess box(
      BOXSIM_BINARY, {"--listen", kAddress, "--https-port", "0", "--license", "5005", "--cryptkey",
                      kCryptkey, "--store", QString::fromStdString(store.path())});
  ASSERT_TRUE(box.ready()) << box.stop().toStdString();
  Ctl ctl;

  const ProcessResult early = ctl.run({"wait-connected", "0"});
  EXPECT_EQ(early.exitCode, 1);
  EXPECT_EQ(early.standardError, "no agent linked within 0 s\n");

  TesselTestClient client;
  ASSERT_TRUE(client.connect(kAddress, 6680));
  ASSERT_TRUE(client.hello(5005, 77, kCryptkey).ok);
  EXPECT_EQ(ctl.run({"wait-connected", "10"}).standardOutput, "connected\n");

  ctl.start({"query", R"({"type":"file_list","path":"ROOT"})", "20"});
  QJsonObject query;
  answer(client, {{{"ok", true}, {"count", 1000}}, {{"ok", true}, {"count", 2}}}, &query);
  EXPECT_EQ(query, (QJsonObject{{"type", "file_list"}, {"path", "ROOT"}}));
  ProcessResult result = ctl.finish();
  EXPECT_EQ(result.exitCode, 0) << result.standardError.toStdString();
  EXPECT_EQ(result.standardOutput, "{\"count\":1000,\"ok\":true}\n{\"count\":2,\"ok\":true}\n");

  ctl.start({"launch-action", "backup", "12"});
  answer(client, {{{"ok", false}, {"error", "Action failed"}}}, &query);
  EXPECT_EQ(query.value("action").toString(), "backup");
  EXPECT_EQ(query.value("args").toString(), "12");
  result = ctl.finish();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.standardError, "{\"error\":\"Action failed\",\"ok\":false}\n");

  EXPECT_EQ(ctl.run({"tail-logs", "on"}).exitCode, 0);
  ASSERT_TRUE(client.receiveType("tail_logs"));
  client.send("log", {{"level", "info"},
                      {"date", "12-09 10:00:00"},
                      {"file", "app.cpp"},
                      {"line", 3},
                      {"text", "hello"}});

  ctl.start({"start-task", "file_upload", R"({"file":"log"})"});
  answer(client, {{{"ok", true}}}, &query);
  EXPECT_EQ(query.value("task_type").toString(), "file_upload");
  EXPECT_EQ(ctl.finish().exitCode, 0);
  const QByteArray content("the agent's log\n");
  client.send("task_control", {{"task_id", 1},
                               {"action", "create"},
                               {"task_type", "file_upload"},
                               {"args", QJsonObject{{"file", "log"}}}});
  client.send("task", {{"task_id", 1}, {"data", QJsonObject{}}}, &content);
  client.send("task_control", {{"task_id", 1}, {"action", "finish"}});

  result = ctl.run({"uploads", "10"});
  ASSERT_EQ(result.exitCode, 0) << result.standardError.toStdString();
  const QString path = QString::fromStdString(store.path()) + "/uploads/task-1-1.bin";
  EXPECT_EQ(result.standardOutput, path + " 16 bytes task 1\n");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), content);
  EXPECT_EQ(ctl.run({"logs"}).standardOutput, "info 12-09 10:00:00 app.cpp:3 - hello\n");

  EXPECT_EQ(ctl.run({"inject", "error-message"}).exitCode, 0);
  const auto error = client.receive();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->type(), "error");

  EXPECT_EQ(ctl.run({"no-such-command"}).exitCode, 2);
  EXPECT_EQ(ctl.run({"query", "not json"}).exitCode, 2);
  EXPECT_TRUE(ctl.run({"help"}).standardOutput.contains("launch-action <action> [args] [intent]"));
  const std::string log = box.stop().toStdString();
  EXPECT_EQ(box.exitCode(), 0) << log;
  EXPECT_NE(log.find("tessel 127.0.1.20:6680, ctl /tmp/boxsim-127.0.1.20.ctl"), std::string::npos)
      << log;
  EXPECT_EQ(ProcessRunner(BOXSIM_BINARY).run({"ctl", "--listen", kAddress, "status"}).exitCode, 3)
      << "the socket is gone with the program";
}

}  // namespace
