// Finding the box and the hello, against the simulated box and against a
// box written without Qt.
#include <gtest/gtest.h>

#include "core_app_environment.h"
#include "log_capture.h"
#include "tessel_client_fixture.h"
#include "tessel_python_box.h"

namespace {

using namespace tessel_test;
using boxsim::HelloFault;

int faultyAnswers(boxsim::TesselBox& box) {
  int count = 0;
  for (const QString& event : box.record().events())
    if (event.startsWith("hello answered with a fault")) ++count;
  return count;
}

struct FaultCase {
  HelloFault fault;
  const char* address;
  const char* name;
};

class HelloFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(HelloFaultTest, IsRefusedAndRetriedOnlyAfterThePause) {
  auto capture = std::make_optional<kvn_test::LogCapture>();
  auto box = startBox(GetParam().address);
  box->setHelloFault(GetParam().fault);
  auto agent = std::make_optional<ClientUnderTest>(GetParam().address);

  const bool first = eventually([&] { return faultyAnswers(*box) >= 1; });
  const auto firstSeen = std::chrono::steady_clock::now();
  const bool second = eventually([&] { return faultyAnswers(*box) >= 2; });
  const auto pause = std::chrono::steady_clock::now() - firstSeen;
  const QStringList validIps = agent->validIps();
  agent.reset();
  const std::string log = capture->text();
  capture.reset();

  ASSERT_TRUE(first && second) << box->record().events().join('\n').toStdString();
  // The shortened pause after a failed hello is 1.5 s; the margin is for
  // a late first look on a loaded machine.
  EXPECT_GE(pause, 1000ms);
  EXPECT_TRUE(validIps.isEmpty());
  EXPECT_NE(log.find("Tessel: Handshake failed"), std::string::npos) << log;
  EXPECT_EQ(log.find("Tessel: Connected to box"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HelloFaultTest,
    ::testing::Values(FaultCase{HelloFault::OtherLicence, "127.0.2.10", "OtherLicence"},
                      FaultCase{HelloFault::WrongProof, "127.0.2.11", "WrongProof"},
                      FaultCase{HelloFault::ShortProof, "127.0.2.12", "ShortProof"},
                      FaultCase{HelloFault::EmptyAnswer, "127.0.2.13", "EmptyAnswer"},
                      FaultCase{HelloFault::OversizedAnswer, "127.0.2.14", "OversizedAnswer"}),
    [](const auto& info) { return std::string(info.param.name); });

// Python's ssl and openssl make the certificate and both proofs, so a serial
// text misread the same way by the agent and the simulator cannot pass.
TEST(TesselHelloTest, PassesAgainstABoxWithoutQt) {
  for (const char* serial : {"", "0x80a1b2c3"}) {
    SCOPED_TRACE(serial);
    QStringList extra{"--after-hello", "query", "--query", R"({"type":"test","test":5})"};
    if (*serial) extra << "--serial" << serial;
    kvn_test::TesselPythonBox box("127.0.2.20", kvn_network::tessel::kPort, kLicense, kKey, extra);
    ASSERT_TRUE(box.listening()) << box.rest().toStdString();
    ClientUnderTest agent("127.0.2.20");
    EXPECT_EQ(box.readLine(), "hello ok");
    QStringList lines;
    for (QString line = box.readLine(); !line.isEmpty() && line != "done"; line = box.readLine())
      lines << line;
    EXPECT_TRUE(lines.contains(R"(response {"ok":true,"test":5})"))
        << lines.join('\n').toStdString();
    EXPECT_EQ(box.finish(), 0) << box.rest().toStdString();
    EXPECT_EQ(agent.validIps(), QStringList{"127.0.2.20"});
  }
}

TEST(TesselAddressTest, StoredAddressesAreTriedInOrder) {
  kvn_test::LogCapture capture;
  kvn_log::setLevel(kvn_log::Debug);
  auto box = startBox("127.0.2.31");
  bool askedNetwork = false;
  ClientUnderTest agent("127.0.2.30:127.0.2.31", fastTimings(), [&] {
    askedNetwork = true;
    return std::vector<kvn_mdns::FoundBox>{};
  });
  ASSERT_TRUE(box->waitConnected(10s));
  EXPECT_TRUE(eventually([&] { return !agent.validIps().isEmpty(); }));
  EXPECT_EQ(agent.validIps(), QStringList{"127.0.2.31"});
  agent.client.reset();
  EXPECT_FALSE(askedNetwork);
  const std::string log = capture.text();
  const auto first = log.find("Tessel: Trying IP 127.0.2.30");
  const auto second = log.find("Tessel: Trying IP 127.0.2.31");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
}

TEST(TesselAddressTest, WithoutAStoredAddressTheLocalNetworkBoxOfOurLicenceIsUsed) {
  kvn_test::LogCapture capture;
  kvn_log::setLevel(kvn_log::Debug);
  auto ours = startBox("127.0.2.41");
  // A box of another licence that would accept any agent.
  boxsim::TesselBoxConfig config;
  config.address = "127.0.2.42";
  config.cryptkey = kKey;
  boxsim::TesselBox foreign(config);
  ASSERT_TRUE(foreign.start());

  std::atomic<int> searches{0};
  ClientUnderTest agent("", fastTimings(), [&] {
    ++searches;
    return std::vector<kvn_mdns::FoundBox>{{"127.0.2.42", "9999", "other"},
                                           {"127.0.2.40:127.0.2.41", "5005", "ours"}};
  });
  ASSERT_TRUE(ours->waitConnected(10s));
  EXPECT_TRUE(eventually([&] { return !agent.validIps().isEmpty(); }));
  EXPECT_EQ(agent.validIps(), QStringList{"127.0.2.41"});
  EXPECT_EQ(foreign.connectedCount(), 0);
  EXPECT_GE(searches.load(), 1);
  agent.client.reset();
  const std::string log = capture.text();
  const auto firstTry = log.find("Tessel: Trying IP ");
  ASSERT_NE(firstTry, std::string::npos);
  EXPECT_EQ(log.compare(firstTry, 35, "Tessel: Trying IP 127.0.2.40 (mDNS)"), 0)
      << log.substr(firstTry, 60);
}

TEST(TesselAddressTest, NoBoxAnywhereMeansTheLongPauseAndAnotherRound) {
  kvn_test::LogCapture capture;
  std::atomic<int> searches{0};
  ClientUnderTest agent("127.0.2.45", fastTimings(), [&] {
    ++searches;
    return std::vector<kvn_mdns::FoundBox>{};
  });
  EXPECT_TRUE(eventually([&] { return searches.load() >= 2; }));
  agent.client.reset();
  EXPECT_NE(capture.text().find("Failed to connect to box using Tessel, trying again later"),
            std::string::npos);
}

}  // namespace
