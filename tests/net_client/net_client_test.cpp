#include <gtest/gtest.h>

#include <QByteArray>
#include <string>

#include "../kvn_log/log_capture.h"
#include "sim_fixture.h"

namespace {

using kvn_network::NetPacket;
using kvn_test::connectedClient;
using kvn_test::SimulatedBox;
using kvn_test::thrownBy;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(NetClientTest, NegotiatesWithTheBoxAndCarriesCompressedEncryptedPackets) {
  SimulatedBox box(40);
  auto client = connectedClient(40);
  ASSERT_NE(client->crypto(), nullptr);
  EXPECT_EQ(client->crypto()->state(), 0);
  EXPECT_EQ(client->crypto()->fileKey().size(), 32u);

  // A payload that compresses; both directions compressed and encrypted.
  NetPacket request(kvn_test::kEchoType);
  const std::string text(100000, 'k');
  request.putString(text);
  ASSERT_TRUE(client->SendPacket(request, true, true));
  EXPECT_TRUE(request.isCompressed());
  EXPECT_TRUE(request.isEncrypted());
  NetPacket answer = client->receivePacket();
  EXPECT_FALSE(answer.isCompressed());
  EXPECT_FALSE(answer.isEncrypted());
  EXPECT_EQ(answer.getStdString(), text);

  ASSERT_TRUE(
      box.record().waitUntil([](const boxsim::Record& r) { return r.negotiations() == 1; }));
  EXPECT_EQ(box.record().storageLicences().at(0), kvn_test::kStorageLicence);
}

TEST(NetClientTest, NegotiationFailuresNameTheStateWhereTheyStopped) {
  kvn_test::LogCapture log;
  {
    boxsim::FaultScript refuse;
    refuse.refuseNegotiationAt = 0xA3;
    SimulatedBox box(41, refuse);
    auto client = connectedClient(41, false);
    const KvnCommonException e = thrownBy([&] { client->connect(1, kvn_test::kCryptkey); });
    EXPECT_EQ(e.code, KVN_E_EXCEPTION);
    EXPECT_TRUE(contains(e.what(), "encryption negotiation failed with status 0xa3")) << e.what();
  }
  {
    // A wrong cryptkey: the box cannot read the agent's identity.
    SimulatedBox box(42);
    auto client = connectedClient(42, false);
    const KvnCommonException e =
        thrownBy([&] { client->connect(1, "ffeeddccbbaa99887766554433221100"); });
    EXPECT_TRUE(contains(e.what(), "encryption negotiation failed with status 0xa3")) << e.what();
  }
  {
    boxsim::FaultScript silent;
    silent.silent = true;
    SimulatedBox box(43, silent);
    auto client = connectedClient(43, false);
    const KvnCommonException e = thrownBy([&] { client->connect(1, kvn_test::kCryptkey); });
    EXPECT_TRUE(contains(e.what(), "status 0xa1")) << e.what();
  }
  EXPECT_TRUE(contains(log.text(), "Cannot receive packet: ")) << log.text();
  EXPECT_TRUE(contains(log.text(), "Connection timed out")) << log.text();
}

TEST(NetClientTest, ConnectWithoutListenerFailsWithTheAddress) {
  auto client = connectedClient(44, false);
  const KvnCommonException e = thrownBy([&] { client->connect(1, kvn_test::kCryptkey); });
  EXPECT_EQ(e.code, KVN_E_EXCEPTION);
  EXPECT_TRUE(contains(e.what(), "cannot connect to 127.0.0.44:6670 (")) << e.what();
}

TEST(NetClientTest, QueuesSortPacketsAndPingsAreDropped) {
  boxsim::FaultScript pings;
  pings.pingsBeforeAnswer = 3;
  pings.answerDelayMs = 20;
  SimulatedBox box(45, pings);
  auto client = connectedClient(45);
  EXPECT_EQ(kvn_test::echo(*client, 7).getUInt32(), 7u);

  // The control packet comes first but waits in its own queue.
  NetPacket request(kvn_test::kControlFirstType);
  ASSERT_TRUE(client->SendPacket(request, false, false));
  NetPacket answer = client->receivePacket();
  EXPECT_EQ(answer.type(), kvn_test::kControlFirstType);
  EXPECT_EQ(client->receiver().queued(kvn_network::NetReceiver::Control), 1u);
  NetPacket control = client->receiveControlPacket();
  EXPECT_EQ(control.type(), kvn_network::kTransferControlType);
  EXPECT_EQ(control.getUInt32(), 99u);
  EXPECT_EQ(control.getUInt64(), 12345u);
  EXPECT_EQ(client->receiver().queued(kvn_network::NetReceiver::General), 0u);
}

TEST(NetClientTest, ReceiveCheckedRefusesErrorAnswers) {
  SimulatedBox box(46);
  auto client = connectedClient(46);
  NetPacket request(kvn_test::kErrorType);
  request.putUInt32(3);
  ASSERT_TRUE(client->SendPacket(request, false, false));
  const KvnCommonException e = thrownBy([&] { client->receiveChecked(); });
  EXPECT_EQ(e.code, KVN_E_INVALID_REPLY);
}

TEST(NetClientTest, ABoxThatSaysNothingTimesOut) {
  SimulatedBox box(47);
  auto client = connectedClient(47);
  NetPacket request(kvn_test::kMuteType);
  ASSERT_TRUE(client->SendPacket(request, false, false));
  const KvnCommonException e = thrownBy([&] { client->receivePacket(); });
  EXPECT_EQ(e.code, KVN_E_NETWORK);
  EXPECT_TRUE(contains(e.what(), "Connection timed out")) << e.what();
}

TEST(NetClientTest, AClosedConnectionFailsReceiveThenSendThenResets) {
  boxsim::FaultScript close;
  close.closeAfterPackets = 1;
  SimulatedBox box(48, close);
  auto client = connectedClient(48);
  EXPECT_EQ(kvn_test::echo(*client, 1).getUInt32(), 1u);
  // The box has gone after its first answer.
  const KvnCommonException closed = thrownBy([&] { client->receivePacket(); });
  EXPECT_EQ(closed.code, KVN_E_SOCKET_CLOSED);
  EXPECT_TRUE(contains(closed.what(), "The socket has been closed")) << closed.what();

  NetPacket request(kvn_test::kEchoType);
  request.putUInt32(2);
  EXPECT_FALSE(client->SendPacket(request, false, false));
  EXPECT_FALSE(client->hasSocket());
  const KvnCommonException reset = thrownBy([&] { client->receivePacket(); });
  EXPECT_EQ(reset.code, KVN_E_SOCKET_CLOSED);
  EXPECT_TRUE(contains(reset.what(), "Socket reset")) << reset.what();
  NetPacket again(kvn_test::kEchoType);
  EXPECT_FALSE(client->SendPacket(again, false, false));

  // A new connect opens a new socket.
  client->connect(kvn_test::kStorageLicence, kvn_test::kCryptkey);
  EXPECT_EQ(kvn_test::echo(*client, 3).getUInt32(), 3u);
}

TEST(NetClientTest, UnknownPacketTypesEndTheConversation) {
  SimulatedBox box(49);
  auto client = connectedClient(49);
  NetPacket request(0x7E57FFFF);
  ASSERT_TRUE(client->SendPacket(request, false, false));
  EXPECT_EQ(thrownBy([&] { client->receivePacket(); }).code, KVN_E_SOCKET_CLOSED);
  ASSERT_TRUE(
      box.record().waitUntil([](const boxsim::Record& r) { return !r.unhandled().empty(); }));
  EXPECT_EQ(box.record().unhandled().at(0), 0x7E57FFFFu);
}

}  // namespace
