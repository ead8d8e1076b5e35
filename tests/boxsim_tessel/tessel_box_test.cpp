// The simulated box's end of the Tessel channel, driven by the scripted
// agent-side client over real TLS on loopback.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>

#include "boxsim/tessel_box.h"
#include "core_app_environment.h"
#include "tessel_test_client.h"

namespace {

using namespace std::chrono_literals;
using boxsim::HelloFault;
using boxsim::LinkFault;
using boxsim::TesselBox;
using kvn_test::TesselTestClient;
namespace tessel = kvn_network::tessel;

constexpr std::int64_t kLicence = 5005;
const QString kCryptkey = "a1b2c3d4e5f60718293a4b5c6d7e8f90";

class TesselBoxTest : public ::testing::Test {
 protected:
  void startBox(const QString& address) {
    box_ = std::make_unique<TesselBox>(
        boxsim::TesselBoxConfig{address, tessel::kPort, kLicence, kCryptkey, {}});
    ASSERT_TRUE(box_->start());
    address_ = address;
  }
  // A client that has passed the hello.
  std::unique_ptr<TesselTestClient> link() {
    auto client = std::make_unique<TesselTestClient>();
    EXPECT_TRUE(client->connect(address_, box_->port()));
    const auto hello = client->hello(kLicence, 77, kCryptkey);
    EXPECT_TRUE(hello.ok) << hello.reason.toStdString();
    EXPECT_TRUE(box_->waitConnected(5s));
    return client;
  }

  std::unique_ptr<TesselBox> box_;
  QString address_;
};

TEST_F(TesselBoxTest, HelloIsAnsweredWithTheBoxProofAndEachFaultIsRefusedByTheAgentRules) {
  startBox("127.0.1.1");
  EXPECT_FALSE(box_->certificateSerial().isEmpty());
  const struct {
    HelloFault fault;
    const char* reason;
  } faults[] = {
      {HelloFault::OtherLicence, "licence 5006 instead of 5005"},
      {HelloFault::WrongProof, "wrong proof"},
      {HelloFault::ShortProof, "proof of 16 bytes instead of 32"},
      {HelloFault::EmptyAnswer, "answer length 0"},
      {HelloFault::OversizedAnswer, "answer length 65536"},
      {HelloFault::NoAnswer, "no answer header"},
  };
  for (const auto& f : faults) {
    box_->setHelloFault(f.fault);
    TesselTestClient client;
    ASSERT_TRUE(client.connect(address_, box_->port()));
    EXPECT_EQ(client.peerSerial(), box_->certificateSerial());
    const auto hello = client.hello(kLicence, 77, kCryptkey, 1000);
    EXPECT_FALSE(hello.ok) << f.reason;
    EXPECT_EQ(hello.reason.toStdString(), f.reason);
  }
  EXPECT_EQ(box_->connectedCount(), 0);

  box_->setHelloFault(HelloFault::None);
  auto client = link();
  EXPECT_EQ(box_->connectedCount(), 1);
}

TEST_F(TesselBoxTest, AnAgentWithoutTheKeyOrLicenceIsRefusedAndCutOff) {
  startBox("127.0.1.2");
  for (const auto& [licence, key] :
       {std::pair{kLicence, QString("AAAAAAAA")}, std::pair{kLicence + 1, kCryptkey}}) {
    TesselTestClient client;
    ASSERT_TRUE(client.connect(address_, box_->port()));
    EXPECT_FALSE(client.hello(licence, 77, key, 2000).ok);
    EXPECT_TRUE(client.waitClosed());
  }
  const QStringList events = box_->record().events();
  EXPECT_TRUE(events.contains("hello refused: wrong proof")) << events.join('\n').toStdString();
  EXPECT_TRUE(events.contains("hello refused: licence 5006 instead of 5005"))
      << events.join('\n').toStdString();
  EXPECT_EQ(box_->connectedCount(), 0);
  EXPECT_EQ(box_->query({{"type", "test"}}), -1) << "nothing is sent without a link";
}

TEST_F(TesselBoxTest, QueriesPingsLogsAndTasksTravelBothWays) {
  startBox("127.0.1.3");
  auto client = link();

  const std::int64_t id = box_->query({{"type", "test"}, {"test", 5}});
  ASSERT_EQ(id, 1);
  auto query = client->receiveType("query");
  ASSERT_TRUE(query);
  EXPECT_EQ(query->object.value("query_id").toInteger(), id);
  EXPECT_EQ(query->object.value("query").toObject().value("test").toInt(), 5);
  client->send("response",
               {{"query_id", qint64(id)}, {"done", false}, {"response", QJsonObject{{"n", 1}}}});
  client->send("response",
               {{"query_id", qint64(id)}, {"done", true}, {"response", QJsonObject{{"n", 2}}}});
  const auto responses = box_->waitResponses(id, 5s);
  ASSERT_TRUE(responses.done);
  ASSERT_EQ(responses.responses.size(), 2u);
  EXPECT_EQ(responses.responses[1].value("n").toInt(), 2);

  const std::int64_t action = box_->launchAction("backup", "12;x", "");
  auto launch = client->receiveType("query");
  ASSERT_TRUE(launch);
  EXPECT_EQ(launch->object.value("query_id").toInteger(), action);
  EXPECT_EQ(
      launch->object.value("query").toObject(),
      (QJsonObject{
          {"type", "launch_action"}, {"action", "backup"}, {"args", "12;x"}, {"intent", ""}}));
  EXPECT_FALSE(box_->waitResponses(action, 100ms).done);

  box_->startTask("file_upload", {{"file", "log"}});
  auto start = client->receiveType("query");
  ASSERT_TRUE(start);
  EXPECT_EQ(start->object.value("query").toObject(),
            (QJsonObject{{"type", "start_task"},
                         {"task_type", "file_upload"},
                         {"args", QJsonObject{{"file", "log"}}}}));

  ASSERT_TRUE(box_->tailLogs(true));
  auto tail = client->receiveType("tail_logs");
  ASSERT_TRUE(tail);
  EXPECT_TRUE(tail->object.value("enabled").toBool());
  client->send("log", {{"level", "info"},
                       {"date", "12-09 10:00:00"},
                       {"file", "app.cpp"},
                       {"line", 12},
                       {"text", "Tessel: Connected to box"}});

  client->send("ping");
  auto pong = client->receiveType("ping");
  ASSERT_TRUE(pong) << "pings are answered";
  EXPECT_EQ(box_->pingsReceived(), 1);
  ASSERT_EQ(box_->logLines().size(), 1u);
  EXPECT_EQ(box_->logLines()[0].toString(),
            "info 12-09 10:00:00 app.cpp:12 - Tessel: Connected to box");

  // Data for a task the agent runs: the payload arrives with its JSON.
  const QByteArray payload(tessel::kMaxFrameBody, 'p');
  ASSERT_TRUE(box_->sendTaskData(4, {{"k", 1}}, payload));
  auto data = client->receiveType("task");
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->hasPayload);
  EXPECT_EQ(data->payload, payload);
  ASSERT_TRUE(box_->sendTaskError(4, "stopped"));
  auto error = client->receiveType("task");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->object.value("error").toString(), "stopped");

  client->send("error");
  EXPECT_TRUE(box_->record().waitUntil(
      [](const boxsim::TesselRecord& r) { return r.errorMessages().size() == 1; }, 5s));

  box_->setAnswerPings(false);
  client->send("ping");
  EXPECT_FALSE(client->receive(500)) << "no answer while pings are not answered";
  EXPECT_EQ(box_->pingsReceived(), 2);
}

TEST_F(TesselBoxTest, UploadsAreReassembledByteForByteAndBrokenOnesKeptApart) {
  startBox("127.0.1.4");
  auto client = link();
  QByteArray content(3 * tessel::kMaxFrameBody + 12345, '\0');
  QRandomGenerator random(42);
  random.fillRange(reinterpret_cast<quint32*>(content.data()), content.size() / 4);

  client->send("task_control", {{"task_id", 1},
                                {"action", "create"},
                                {"task_type", "file_upload"},
                                {"args", QJsonObject{{"file", "log"}}}});
  for (qsizetype at = 0; at < content.size(); at += tessel::kMaxFrameBody) {
    const QByteArray piece = content.mid(at, tessel::kMaxFrameBody);
    ASSERT_TRUE(client->send("task", {{"task_id", 1}, {"data", QJsonObject{}}}, &piece));
  }
  client->send("task_control", {{"task_id", 1}, {"action", "finish"}});
  const auto upload = box_->waitUpload(10s);
  ASSERT_TRUE(upload);
  EXPECT_TRUE(upload->complete) << upload->error.toStdString();
  EXPECT_EQ(upload->size, content.size());
  EXPECT_EQ(upload->args.value("file").toString(), "log");
  QFile file(upload->path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), content);
  EXPECT_TRUE(upload->path.endsWith("/task-1-1.bin")) << upload->path.toStdString();

  // An aborted upload and one cut off by a lost link end incomplete.
  const QByteArray piece("abc");
  client->send("task_control",
               {{"task_id", 2}, {"action", "create"}, {"task_type", "file_upload"}});
  client->send("task", {{"task_id", 2}, {"data", QJsonObject{}}}, &piece);
  client->send("task_control",
               {{"task_id", 2}, {"action", "abort"}, {"error", "Cannot open file"}});
  auto aborted = box_->waitUpload(5s);
  ASSERT_TRUE(aborted);
  EXPECT_FALSE(aborted->complete);
  EXPECT_EQ(aborted->error, "Cannot open file");

  client->send("task_control",
               {{"task_id", 3}, {"action", "create"}, {"task_type", "file_upload"}});
  client->send("task", {{"task_id", 3}, {"data", QJsonObject{}}}, &piece);
  ASSERT_TRUE(box_->record().waitUntil(
      [](const boxsim::TesselRecord& r) { return r.taskControls().size() == 5; }, 5s));
  client->close();
  auto cut = box_->waitUpload(5s);
  ASSERT_TRUE(cut);
  EXPECT_FALSE(cut->complete);
  EXPECT_EQ(cut->size, 3);
  EXPECT_EQ(cut->error, "link closed");
  EXPECT_FALSE(box_->waitUpload(100ms));
}

TEST_F(TesselBoxTest, LinkFaultsReachTheAgentAsTheFramesItMustRefuse) {
  startBox("127.0.1.5");
  {
    auto client = link();
    ASSERT_TRUE(box_->inject(LinkFault::TwoPayloads));
    EXPECT_FALSE(client->receive());
    EXPECT_EQ(client->frameError(), tessel::FrameError::TwoPayloads);
  }
  {
    auto client = link();
    ASSERT_TRUE(box_->inject(LinkFault::OversizedFrame));
    EXPECT_FALSE(client->receive());
    EXPECT_EQ(client->frameError(), tessel::FrameError::TooLong);
  }
  auto client = link();
  EXPECT_EQ(box_->connectedCount(), 3) << "each new link replaced the old one";
  ASSERT_TRUE(box_->inject(LinkFault::ErrorMessage));
  auto error = client->receive();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->type(), "error");
  ASSERT_TRUE(box_->inject(LinkFault::UnknownType));
  auto unknown = client->receive();
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->type(), "no_such_message");
  ASSERT_TRUE(box_->inject(LinkFault::InvalidJson));
  EXPECT_FALSE(client->receive()) << "not a JSON object";
  ASSERT_TRUE(box_->inject(LinkFault::Drop));
  EXPECT_TRUE(client->waitClosed());
  EXPECT_TRUE(
      box_->record().waitUntil([](const boxsim::TesselRecord& r) { return !r.linked(); }, 5s));
}

TEST_F(TesselBoxTest, ABoxThatHasGoneSilentNeitherReadsNorAnswers) {
  startBox("127.0.1.6");
  auto client = link();
  box_->setSilent(true);
  client->send("ping");
  EXPECT_FALSE(client->receive(500));
  EXPECT_EQ(box_->pingsReceived(), 0);
  box_->setSilent(false);
  EXPECT_TRUE(client->receiveType("ping", 5000)) << "the ping kept while silent is answered";
  EXPECT_EQ(box_->pingsReceived(), 1);
}

TEST_F(TesselBoxTest, StoppingWakesWaiters) {
  startBox("127.0.1.7");
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    box_->stop();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(box_->waitConnected(30s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  stopper.join();
}

}  // namespace
