// Whole-file transfers between the agent's client and the simulated box.
#include <gtest/gtest.h>

#include <QFile>
#include <thread>

#include "../kvn_log/log_capture.h"
#include "../net_client/sim_fixture.h"
#include "kvn_common/buffer_sink.h"
#include "process_runner.h"
#include "temp_dir.h"

namespace {

using kvn_test::connectedClient;
using kvn_test::SimulatedBox;
using kvn_test::thrownBy;

QByteArray pattern(int size, int seed = 3) {
  QByteArray data(size, '\0');
  std::uint32_t x = static_cast<std::uint32_t>(seed);
  for (int i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<char>(i % 3 == 0 ? 'a' : (x >> 16));
  }
  return data;
}

QString writeTemp(const kvn_test::TempDir& dir, const char* name, const QByteArray& data) {
  kvn_test::writeFile(dir.file(name), data.toStdString());
  return QString::fromStdString(dir.file(name));
}

bool contains(const char* text, const char* part) {
  return std::string(text).find(part) != std::string::npos;
}

TEST(FileTransferTest, SendsFilesWholeRawOrCompressedAndEncrypted) {
  SimulatedBox box(50);
  auto client = connectedClient(50);
  kvn_test::TempDir dir;
  const QByteArray big = pattern(3 * 1024 * 1024 + 17);
  client->fileController().sendFile(writeTemp(dir, "big", big), boxsim::kFileDataType, 10, false,
                                    false);
  client->fileController().sendFile(writeTemp(dir, "big", big), boxsim::kFileDataType, 11, true,
                                    true);
  client->fileController().sendFile(writeTemp(dir, "empty", {}), boxsim::kFileDataType, 12, true,
                                    true);
  // The connection carries on with ordinary packets afterwards.
  EXPECT_EQ(kvn_test::echo(*client, 5).getUInt32(), 5u);
  const auto files = box.record().files();
  ASSERT_EQ(files.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(files[i].complete);
    EXPECT_EQ(files[i].fileId, 10u + i);
    EXPECT_TRUE(files[i].data == big);
  }
  EXPECT_TRUE(files[2].complete);
  EXPECT_EQ(files[2].size, 0u);
  EXPECT_TRUE(box.record().unhandled().empty());
}

TEST(FileTransferTest, ReceivesAFileAcknowledgingOncePer256KiB) {
  const QByteArray content = pattern(300000);
  SimulatedBox box(51, {}, kvn_test::testRegistry(content, 100000));
  auto client = connectedClient(51);
  kvn_test::TempDir dir;
  kvn_network::NetPacket request(kvn_test::kFetchType);
  request.putUInt32(20);
  ASSERT_TRUE(client->SendPacket(request, false, false));
  const QString path = QString::fromStdString(dir.file("got"));
  client->fileController().receiveFile(path);
  EXPECT_EQ(QByteArray::fromStdString(kvn_test::readFile(dir.file("got"))), content);
  // A round trip makes sure the box has taken everything the agent sent.
  EXPECT_EQ(kvn_test::echo(*client, 9).getUInt32(), 9u);
  const auto sent = box.record().sentFiles();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].complete);
  EXPECT_EQ(sent[0].grants, 1u);
  EXPECT_TRUE(box.record().unhandled().empty());
}

TEST(FileTransferTest, ReceiveSourceReportsSequenceBreakAndFileIdMismatch) {
  {
    boxsim::FaultScript faults;
    faults.breakChunkSequenceAt = 2;
    SimulatedBox box(52, faults, kvn_test::testRegistry(pattern(65536 * 4), 65536));
    auto client = connectedClient(52);
    kvn_network::NetPacket request(kvn_test::kFetchType);
    request.putUInt32(21);
    ASSERT_TRUE(client->SendPacket(request, false, false));
    kvn_common::BufferSink sink;
    const KvnCommonException e =
        thrownBy([&] { kvn_network::NetClientReceiveFileSource(sink, *client, 21).receive(); });
    EXPECT_EQ(e.code, KVN_E_NETWORK);
    EXPECT_TRUE(contains(e.what(), "Chunk sequence break at 131072 - received 65536")) << e.what();
  }
  {
    boxsim::FaultScript faults;
    faults.switchFileIdAt = 1;
    SimulatedBox box(53, faults, kvn_test::testRegistry(pattern(1000), 400));
    auto client = connectedClient(53);
    kvn_network::NetPacket request(kvn_test::kFetchType);
    request.putUInt32(7);
    ASSERT_TRUE(client->SendPacket(request, false, false));
    kvn_common::BufferSink sink;
    const KvnCommonException e =
        thrownBy([&] { kvn_network::NetClientReceiveFileSource(sink, *client, 7).receive(); });
    EXPECT_TRUE(contains(e.what(), "FileId mismatch local 7 - remote 8")) << e.what();
  }
}

TEST(FileTransferTest, OneTransferAtATimeAndStopEndsWithAnAbort) {
  SimulatedBox box(54);
  auto client = connectedClient(54);
  kvn_test::TempDir dir;
  const QString path = writeTemp(dir, "f", pattern(2 * 1024 * 1024));

  // A receive that waits for a transfer that never comes holds the flag;
  // a second transfer is refused at once, before it touches the socket.
  std::string refusedSend;
  std::thread sending([&] {
    if (!kvn_test::waitFor([&] { return client->fileController().busy(); },
                           std::chrono::seconds(30)))
      return;
    refusedSend =
        thrownBy([&] {
          client->fileController().sendFile(path, boxsim::kFileDataType, 10, false, false);
        }).what();
  });
  thrownBy([&] { client->fileController().receiveFile(QString::fromStdString(dir.file("none"))); });
  sending.join();
  EXPECT_EQ(refusedSend, "Thread is already running");
  EXPECT_FALSE(client->fileController().busy());

  kvn_test::LogCapture log;
  auto second = connectedClient(54);
  second->stop();
  const KvnCommonException e = thrownBy(
      [&] { second->fileController().sendFile(path, boxsim::kFileDataType, 10, false, false); });
  EXPECT_EQ(e.code, KVN_E_STOPPED);
  EXPECT_TRUE(contains(e.what(), "Failed to open file: interrupted by user"));
  EXPECT_NE(log.text().find("Stop by user"), std::string::npos);
  ASSERT_TRUE(box.record().waitUntil([](const boxsim::Record& r) { return !r.files().empty(); }));
  EXPECT_FALSE(box.record().files().at(0).complete);
}

TEST(FileTransferTest, RefusedTransfersFailOnBothSidesWithoutHanging) {
  boxsim::FaultScript faults;
  faults.refuseTransferAfterChunks = 0;
  SimulatedBox box(55, faults, kvn_test::testRegistry(pattern(300000), 100000));
  auto client = connectedClient(55);
  kvn_test::TempDir dir;
  const KvnCommonException e = thrownBy([&] {
    client->fileController().sendFile(writeTemp(dir, "f", pattern(3 * 1024 * 1024)),
                                      boxsim::kFileDataType, 10, false, false);
  });
  EXPECT_EQ(e.code, KVN_E_NETWORK);
  EXPECT_TRUE(contains(e.what(), "FileSender: Received error control packet")) << e.what();
  EXPECT_EQ(kvn_test::echo(*client, 4).getUInt32(), 4u);

  // The agent refuses in turn when it cannot write the file.
  kvn_network::NetPacket request(kvn_test::kFetchType);
  request.putUInt32(20);
  ASSERT_TRUE(client->SendPacket(request, false, false));
  const std::string unwritable = dir.file("no/such/folder/file");
  try {
    client->fileController().receiveFile(QString::fromStdString(unwritable));
    ADD_FAILURE() << "no exception";
  } catch (const KvnQFileException& q) {
    EXPECT_TRUE(contains(q.what(), "ReceiveFile failed to open file")) << q.what();
  }
  EXPECT_EQ(kvn_test::echo(*client, 6).getUInt32(), 6u);
  const auto sent = box.record().sentFiles();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_FALSE(sent[0].complete);
}

TEST(FileTransferTest, BoxClosingBeforeTheTransferFailsTheReceive) {
  boxsim::FaultScript faults;
  faults.closeAfterPackets = 0;
  SimulatedBox box(56, faults);
  auto client = connectedClient(56);
  kvn_test::TempDir dir;
  const KvnCommonException e = thrownBy(
      [&] { client->fileController().receiveFile(QString::fromStdString(dir.file("x"))); });
  EXPECT_EQ(e.code, KVN_E_SOCKET_CLOSED);
}

}  // namespace
