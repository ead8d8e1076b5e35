// The connection facade against the simulated box on loopback: where it
// connects, what it announces and reports, and how it fails.
#include <gtest/gtest.h>

#include <QFile>
#include <memory>

#include "boxsim/file_handlers.h"
#include "boxsim/operation_handlers.h"
#include "boxsim/simulator.h"
#include "connection/credentials.h"
#include "connection/zlvnetwork.h"
#include "core_app_environment.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_network/net_client.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

constexpr const char* kCryptkey = "00112233445566778899aabbccddeeff";
constexpr std::int32_t kLicenseStorage = 4242;
constexpr std::int32_t kLicenseAgent = 17;

std::unique_ptr<boxsim::BoxSimulator> startBox(const QString& address,
                                               boxsim::OperationAnswer answer = {},
                                               std::uint16_t port = boxsim::kBoxPort,
                                               boxsim::FaultScript faults = {}) {
  boxsim::Registry registry;
  boxsim::addFileHandlers(registry);
  boxsim::addOperationHandlers(registry, answer);
  boxsim::SimulatorConfig config;
  config.address = address;
  config.port = port;
  config.identity.cryptkeyHex = kCryptkey;
  config.identity.storageLicence = kLicenseStorage;
  config.faults = faults;
  auto box = std::make_unique<boxsim::BoxSimulator>(std::move(registry), config);
  EXPECT_TRUE(box->start()) << address.toStdString();
  return box;
}

class FacadeTest : public ::testing::Test {
 protected:
  // Credentials as a paired agent keeps them, in its settings file.
  Credentials& credentials(const QString& boxIp, const QString& datanode) {
    kvn_test::writeFile(dir_.file("zlv.ini"),
                        "[zelvo]\nbox_ip=" + boxIp.toStdString() + "\ncryptkey=" + kCryptkey +
                            "\ndatanode=" + datanode.toStdString() +
                            "\nlicense_agent=" + std::to_string(kLicenseAgent) +
                            "\nlicense_storage=" + std::to_string(kLicenseStorage) + "\n");
    credentials_ = std::make_unique<Credentials>(QString::fromStdString(dir_.file("zlv.ini")));
    EXPECT_TRUE(credentials_->load());
    return *credentials_;
  }
  static QString targetOf(const CZLVNetwork& network) {
    if (!network.client()) return "none";
    return QString("%1:%2").arg(network.client()->host()).arg(network.client()->port());
  }

  kvn_test::TempDir dir_;
  kvn_test::LogCapture log_;
  std::unique_ptr<Credentials> credentials_;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(FacadeTest, BoxListTriesEachBoxInOrderAndTalksToTheFirstThatAnswers) {
  auto box = startBox("127.0.0.71");
  CZLVNetwork network(false, credentials("127.0.0.70:127.0.0.71", "127.0.0.99"));
  EXPECT_EQ(targetOf(network), "127.0.0.71:6670");
  EXPECT_TRUE(contains(log_.text(), "cannot connect to the Box(127.0.0.70): 0")) << log_.text();

  ASSERT_EQ(network.ConnectToServer(), KVN_OK) << log_.text();
  EXPECT_EQ(network.fileKey().size(), 32u);
  EXPECT_EQ(network.SendOperation("BCK_INITIAL"), KVN_OK) << log_.text();
  EXPECT_TRUE(reportError(network, 0x10000000, 0x10, true, "disk full"));
  EXPECT_EQ(network.SendConfirmPacket(0x10000109), KVN_OK);
  network.receiveConfirm();

  // The file transfer runs through the same connection.
  QByteArray content(300000, 'z');
  QFile file(QString::fromStdString(dir_.file("payload")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(content);
  file.close();
  network.sendFile(file.fileName(), boxsim::kFileDataType, 10, true, true);

  boxsim::Record& record = box->record();
  ASSERT_TRUE(record.waitUntil([](const boxsim::Record& r) { return !r.files().empty(); }));
  const auto operations = record.operations();
  ASSERT_EQ(operations.size(), 1u);
  EXPECT_EQ(operations[0].name, "BCK_INITIAL");
  EXPECT_EQ(operations[0].fields, QStringList({"17", "4242", "1"}));
  const auto reports = record.errorReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].packetType, 0x10000000u);
  EXPECT_EQ(reports[0].text, "$e0000042: disk full");
  EXPECT_TRUE(record.notes().contains("report 0x10000000 code 0x00021010"))
      << record.notes().join(",").toStdString();
  EXPECT_TRUE(record.notes().contains("confirm 0x10000109"));
  EXPECT_EQ(record.files()[0].data, content);
  EXPECT_EQ(record.storageLicences(), std::vector<std::uint64_t>({kLicenseStorage}));
}

TEST_F(FacadeTest, OperationAnswersDecideTheResult) {
  struct Case {
    const char* address;
    boxsim::OperationAnswer answer;
    std::uint32_t result;
    const char* logLine;
  };
  const Case cases[] = {
      {"127.0.0.76", {1, false, 0}, KVN_OK, nullptr},
      {"127.0.0.77", {0, true, 42}, KVN_E_SERVER_STATUS, "Error: server side 42"},
      {"127.0.0.78", {5, false, 0}, KVN_E_NETWORK, "- Error receiving packet\n"},
  };
  for (const Case& c : cases) {
    auto box = startBox(c.address, c.answer);
    CZLVNetwork network(false, credentials(c.address, ""));
    ASSERT_EQ(network.ConnectToServer(), KVN_OK) << c.address;
    EXPECT_EQ(network.SendOperation("CLTCFG_INITIAL"), c.result) << c.address;
    if (c.logLine) {
      EXPECT_TRUE(contains(log_.text(), c.logLine)) << log_.text();
    }
  }
}

TEST_F(FacadeTest, DatanodeIsTheFallbackWithItsPortOrTheBoxPort) {
  auto plain = startBox("127.0.0.73");
  auto withPort = startBox("127.0.0.74", {}, 6671);
  {
    CZLVNetwork network(true, credentials("127.0.0.72", "127.0.0.73"));
    EXPECT_EQ(targetOf(network), "127.0.0.73:6670");
    EXPECT_TRUE(
        contains(log_.text(), "Unable to connect to Box(127.0.0.72), trying DN(127.0.0.73)..."));
    EXPECT_EQ(network.ConnectToServer(), KVN_OK);
  }
  {
    CZLVNetwork network(true, credentials("127.0.0.72", "127.0.0.74:6671"));
    EXPECT_EQ(targetOf(network), "127.0.0.74:6671");
    EXPECT_EQ(network.ConnectToServer(), KVN_OK);
    EXPECT_EQ(network.SendOperation("EXTRST_INITIAL"), KVN_OK);
  }
  {
    // Without a box list the datanode is the only target.
    CZLVNetwork network(true, credentials("", "127.0.0.73"));
    EXPECT_EQ(targetOf(network), "127.0.0.73:6670");
    EXPECT_TRUE(contains(log_.text(), "StandAlone Connection to 127.0.0.73"));
  }
  {
    CZLVNetwork network(false, credentials("127.0.0.72", "127.0.0.73"));
    EXPECT_FALSE(network.isConnected());
    EXPECT_EQ(network.ConnectToServer(), KVN_E_ARGUMENTS);
    EXPECT_TRUE(contains(log_.text(), "cannot connect to the server: netclient is NULL"));
  }
}

TEST_F(FacadeTest, DatanodeNamesThatDoNotResolveOrCarryTwoColons) {
  auto mapped = startBox("127.0.0.79");
  {
    // More than one colon: the whole text is the host, even when it looks
    // like host:port:extra.
    CZLVNetwork network(true, credentials("", "127.0.0.79:6670:1"));
    EXPECT_FALSE(network.isConnected());
    EXPECT_TRUE(contains(log_.text(), "cannot lookup address for name '127.0.0.79:6670:1'"))
        << log_.text();
  }
  {
    // ...which is what lets an IPv6 literal through, with the box port.
    CZLVNetwork network(true, credentials("", "::ffff:127.0.0.79"));
    EXPECT_EQ(targetOf(network), "::ffff:127.0.0.79:6670");
    EXPECT_EQ(network.ConnectToServer(), KVN_OK);
  }
  {
    CZLVNetwork network(true, credentials("", "no-such-host.invalid"));
    EXPECT_FALSE(network.isConnected());
    EXPECT_TRUE(contains(log_.text(), "cannot lookup address for name 'no-such-host.invalid'"));
  }
  {
    CZLVNetwork network(true, credentials("", "127.0.0.79:http"));
    EXPECT_FALSE(network.isConnected());
    EXPECT_TRUE(contains(log_.text(), "invalid port in datanode address '127.0.0.79:http'"));
  }
}

TEST_F(FacadeTest, WithoutAClientEveryOperationFailsAndSays) {
  CZLVNetwork network(false, credentials("", ""));
  ASSERT_FALSE(network.isConnected());
  EXPECT_EQ(network.SendOperation("BCK_INITIAL"), KVN_E_ARGUMENTS);
  kvn_network::NetPacket packet(1);
  EXPECT_FALSE(network.SendPacket(packet));
  EXPECT_FALSE(network.SendPacket(nullptr));
  EXPECT_EQ(network.SendConfirmPacket(0x10000109), KVN_E_NETWORK);
  EXPECT_FALSE(network.reportError(0x10000000, 1, "x"));
  EXPECT_THROW(network.receivePacket(), KvnCommonException);
  EXPECT_THROW(network.fileKey(), KvnCommonException);
  network.receiveConfirm();
  network.stop();
  EXPECT_TRUE(contains(log_.text(), "Error receiving packet: Invalid netclient"));
  EXPECT_TRUE(contains(log_.text(), "- Invalid netclient\n"));
  EXPECT_STREQ(CZLVNetwork::operationName(1), "BCK_INITIAL");
  EXPECT_STREQ(CZLVNetwork::operationName(32), "CHK_EXT_FINAL");
  EXPECT_STREQ(CZLVNetwork::operationName(33), "<unassigned>");
}

TEST_F(FacadeTest, InjectedLimitsApplyToTheConnection) {
  boxsim::FaultScript silent;
  silent.silent = true;
  auto box = startBox("127.0.0.80", {}, boxsim::kBoxPort, silent);
  ZlvNetworkSettings settings;
  settings.probeTimeoutMs = 2000;
  settings.net.receiveTimeoutMs = 300;
  CZLVNetwork network(false, credentials("127.0.0.80", ""), settings);
  EXPECT_EQ(network.ConnectToServer(), KVN_E_EXCEPTION);
  EXPECT_TRUE(contains(log_.text(), "Connection timed out")) << log_.text();
  EXPECT_TRUE(contains(log_.text(), "encryption negotiation failed with status 0xa1"));
}

}  // namespace
