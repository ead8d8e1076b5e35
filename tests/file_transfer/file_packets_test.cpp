// Packet-level behaviour of the senders and receivers on a connection
// without a peer.
#include <gtest/gtest.h>

#include <QFile>

#include "kvn_common/buffer_sink.h"
#include "recording_channel.h"
#include "temp_dir.h"

namespace {

using kvn_network::FileSender;
using kvn_network::NetPacket;
using kvn_test::Header;
using kvn_test::RecordingChannel;

NetPacket dataPacket(std::uint32_t fileId, std::uint32_t chunk, std::uint64_t offset,
                     std::uint32_t size, bool last) {
  NetPacket p = kvn_network::filePacket(0x50010002, fileId, "?", chunk, offset, 0);
  p.putUInt32(size);
  std::vector<std::uint8_t> data(size, static_cast<std::uint8_t>(chunk + 1));
  p.putDataChunk(data.data(), data.size());
  if (last) p.setEnd();
  return p;
}

std::string what(const std::function<void()>& f) {
  try {
    f();
  } catch (const KvnCommonException& e) {
    return e.what();
  }
  return "no exception";
}

// A channel that transforms packets ahead of sending and logs the order of
// the sender's calls.
class PreparingChannel : public RecordingChannel {
 public:
  bool prepare(NetPacket&, bool compress, bool encrypt) override {
    events.push_back(compress && encrypt ? "prepare" : "prepare-plain");
    return true;
  }
  bool SendPacket(NetPacket& packet, bool compress, bool encrypt) override {
    // A prepared packet must not be transformed a second time.
    events.push_back(compress || encrypt ? "send-transforming" : "send");
    return RecordingChannel::SendPacket(packet, compress, encrypt);
  }
  NetPacket receiveControlPacket() override {
    events.push_back("wait");
    return RecordingChannel::receiveControlPacket();
  }
  std::vector<std::string> events;
};

// The sender compresses and encrypts a chunk while the receiver still holds
// the credit, so both ends work at once; the wire order stays the same, and
// a wait that fails leaves the chunk unsent and uncounted.
TEST(FilePacketsTest, SendersPrepareEachChunkBeforeWaitingForCredit) {
  PreparingChannel channel;
  FileSender sender(channel, "?", 0x50010002, 10, 0, true, true);
  std::vector<char> block(300000, 'a');
  sender.sendChunk(0, block.data(), 300000, false);
  EXPECT_NE(what([&] { sender.sendChunk(300000, block.data(), 300000, false); }).find("timed out"),
            std::string::npos);
  channel.grant(10);
  sender.sendChunk(300000, block.data(), 300000, false);
  EXPECT_EQ(channel.events, (std::vector<std::string>{"prepare", "send", "prepare", "wait",
                                                      "prepare", "wait", "send"}));
  ASSERT_EQ(channel.sent.size(), 2u);
  EXPECT_EQ(Header::of(channel.sent[1]).chunk, 1u);
  EXPECT_EQ(Header::of(channel.sent[1]).offset, 300000u);

  PreparingChannel sinkChannel;
  kvn_network::NetClientSendFileSink sink(sinkChannel, 0x50010002, 12, true, true);
  sink.write(block.data(), 300000);
  sinkChannel.grant(12);
  sink.write(block.data(), 300000);
  EXPECT_EQ(sinkChannel.events,
            (std::vector<std::string>{"prepare", "send", "prepare", "wait", "send"}));
  EXPECT_EQ(Header::of(sinkChannel.sent[1]).chunk, 1u);
}

TEST(FilePacketsTest, SenderWaitsForCreditAndEndsWithTheTotals) {
  RecordingChannel channel;
  FileSender sender(channel, "?", 0x50010002, 10, 600000, true, true);
  std::vector<char> block(300000, 'a');
  sender.sendChunk(0, block.data(), 300000, false);
  // The window is used up: the next chunk needs a grant first.
  EXPECT_NE(what([&] { sender.sendChunk(300000, block.data(), 300000, false); }).find("timed out"),
            std::string::npos);
  channel.grant(10);
  sender.sendChunk(300000, block.data(), 300000, false);
  channel.grant(10);
  sender.finish();
  ASSERT_EQ(channel.sent.size(), 3u);
  EXPECT_TRUE(channel.compressed[0] && channel.encrypted[0]);
  EXPECT_FALSE(channel.compressed[2] || channel.encrypted[2]);
  const Header end = Header::of(channel.sent[2]);
  EXPECT_TRUE(channel.sent[2].isEnd() && channel.sent[2].isFile());
  EXPECT_EQ(end.chunk, 2u);
  EXPECT_EQ(end.offset, 600000u);
  EXPECT_EQ(end.total, 600000u);
  EXPECT_EQ(end.size, 0u);
  EXPECT_EQ(sender.grantsReceived(), 2u);
  EXPECT_NE(what([&] { sender.finish(); }).find("FileSender: Stream is closed ?"),
            std::string::npos);
}

TEST(FilePacketsTest, EmptyFileIsOneEndPacket) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("empty"), "");
  RecordingChannel channel;
  kvn_network::NetFileController controller(channel);
  controller.sendFile(QString::fromStdString(dir.file("empty")), 0x50010002, 10, true, true);
  ASSERT_EQ(channel.sent.size(), 1u);
  const Header end = Header::of(channel.sent[0]);
  EXPECT_TRUE(channel.sent[0].isEnd());
  EXPECT_EQ(end.name, "?");
  EXPECT_EQ(end.chunk, 0u);
  EXPECT_EQ(end.offset, 0u);
  EXPECT_EQ(end.total, 0u);
}

TEST(FilePacketsTest, LastChunkDoesNotWaitForAGrantThatNeverComes) {
  RecordingChannel channel;
  FileSender sender(channel, "?", 1, 2, 0, false, false);
  std::vector<char> block(300000, 'b');
  sender.sendChunk(0, block.data(), 300000, true);
  EXPECT_FALSE(sender.isOpen());
  EXPECT_TRUE(channel.sent.at(0).isEnd());
}

TEST(FilePacketsTest, RefusalAbortsTheSendAndNamesTheSender) {
  RecordingChannel channel;
  kvn_network::NetClientSendFileSink sink(channel, 0x50010002, 11, false, false);
  std::vector<char> block(0x40000, 'c');
  sink.write(block.data(), 0x40000);
  NetPacket refusal(kvn_network::kTransferControlType);
  refusal.setControl();
  refusal.setError();
  refusal.putUInt32(11);
  refusal.putUInt64(0);
  channel.control.push_back(refusal);
  EXPECT_NE(what([&] {
              sink.write(block.data(), 10);
            }).find("NetClientSendFileSink: Received error control packet"),
            std::string::npos);
  ASSERT_EQ(channel.sent.size(), 2u);
  NetPacket abort = channel.sent[1];
  EXPECT_TRUE(abort.isFile() && abort.isError());
  EXPECT_EQ(abort.getUInt32(), 11u);
  EXPECT_EQ(abort.getStdString(), "[NetClientSendFileSink]");
  EXPECT_EQ(Header::of(channel.sent[0]).name, "[NetClientStream]");
}

TEST(FilePacketsTest, ReceiverAcknowledgesOncePerWindowButNeverTheLastPacket) {
  kvn_test::TempDir dir;
  for (bool endOnThird : {false, true}) {
    RecordingChannel channel;
    channel.files.push_back(dataPacket(10, 0, 0, 100000, false));
    channel.files.push_back(dataPacket(10, 1, 100000, 100000, false));
    channel.files.push_back(dataPacket(10, 2, 200000, 100000, endOnThird));
    if (!endOnThird) {
      NetPacket end = kvn_network::filePacket(0x50010002, 10, "?", 3, 300000, 300000);
      end.putUInt32(0);
      end.setEnd();
      channel.files.push_back(end);
    }
    QFile file(QString::fromStdString(dir.file("out")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const std::atomic<bool> stop{false};
    EXPECT_EQ(kvn_network::FileReceiver(channel, stop).receiveData(file), KVN_OK);
    file.close();
    EXPECT_EQ(file.size(), 300000);
    ASSERT_EQ(channel.sent.size(), endOnThird ? 0u : 1u);
    if (!endOnThird) {
      NetPacket ack = channel.sent[0];
      EXPECT_TRUE(ack.isControl() && ack.isEnd() && !ack.isError());
      EXPECT_EQ(ack.type(), kvn_network::kTransferControlType);
      EXPECT_EQ(ack.getUInt32(), 10u);
      EXPECT_EQ(ack.getUInt64(), 0x40000u);
    }
  }
}

TEST(FilePacketsTest, ReceiverRefusesBrokenInputAndStops) {
  RecordingChannel channel;
  NetPacket notFile(0x50010002);
  channel.files.push_back(notFile);
  kvn_test::TempDir dir;
  QFile file(QString::fromStdString(dir.file("out")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  std::atomic<bool> stop{false};
  kvn_network::FileReceiver receiver(channel, stop);
  EXPECT_EQ(receiver.receiveData(file), KVN_E_NETWORK);
  NetPacket abort(0x50010002);
  abort.setFile();
  abort.setError();
  channel.files.push_back(abort);
  EXPECT_EQ(receiver.receiveData(file), KVN_E_INVALID_REPLY);
  NetPacket cut = kvn_network::filePacket(0x50010002, 10, "?", 0, 0, 0);
  cut.putUInt32(50);  // announces 50 bytes and has none
  channel.files.push_back(cut);
  EXPECT_EQ(receiver.receiveData(file), KVN_E_NETWORK);
  stop = true;
  EXPECT_EQ(receiver.receiveData(file), KVN_E_STOPPED);
  EXPECT_TRUE(channel.sent.empty());
  QFile closed;
  EXPECT_EQ(receiver.receiveData(closed), KVN_E_ARGUMENTS);
}

TEST(FilePacketsTest, ReceiveSourceChecksIdAndSequence) {
  {
    RecordingChannel channel;
    channel.files.push_back(dataPacket(12, 0, 0, 65536, false));
    channel.files.push_back(dataPacket(12, 1, 65536, 65536, false));
    channel.files.push_back(dataPacket(12, 2, 65536, 65536, false));
    kvn_common::BufferSink sink;
    kvn_network::NetClientReceiveFileSource source(sink, channel, 12);
    EXPECT_NE(
        what([&] {
          source.receive();
        }).find("NetClientReceiveFileSource: Chunk sequence break at 131072 - received 65536"),
        std::string::npos);
  }
  {
    RecordingChannel channel;
    channel.files.push_back(dataPacket(13, 0, 0, 10, false));
    kvn_common::BufferSink sink;
    kvn_network::NetClientReceiveFileSource source(sink, channel, 12);
    EXPECT_NE(what([&] {
                source.receive();
              }).find("NetClientReceiveFileSource: FileId mismatch local 12 - remote 13"),
              std::string::npos);
  }
}

}  // namespace

namespace {

// A data packet that announces the whole transfer's size.
NetPacket announcing(std::uint32_t chunk, std::uint64_t offset, std::uint32_t size,
                     std::uint64_t total) {
  NetPacket p = kvn_network::filePacket(0x22010002, 30, "?", chunk, offset, total);
  p.putUInt32(size);
  p.putDataChunk(std::vector<std::uint8_t>(size, 7).data(), size);
  return p;
}

NetPacket endPacket(std::uint32_t chunks, std::uint64_t sent) {
  NetPacket end = kvn_network::filePacket(0x22010002, 30, "?", chunks, sent, sent);
  end.putUInt32(0);
  end.setEnd();
  return end;
}

}  // namespace

TEST(FilePacketsTest, ATransferEndingShortOfItsAnnouncedSizeFails) {
  kvn_test::TempDir dir;
  QFile file(QString::fromStdString(dir.file("out")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  const std::atomic<bool> stop{false};
  RecordingChannel channel;
  channel.files.push_back(announcing(0, 0, 100000, 300000));
  channel.files.push_back(announcing(1, 100000, 100000, 300000));
  channel.files.push_back(endPacket(2, 200000));
  EXPECT_EQ(kvn_network::FileReceiver(channel, stop).receiveData(file), KVN_E_NETWORK);

  // Whole: accepted.
  channel.files.push_back(announcing(0, 0, 100000, 200000));
  channel.files.push_back(announcing(1, 100000, 100000, 200000));
  channel.files.push_back(endPacket(2, 200000));
  EXPECT_EQ(kvn_network::FileReceiver(channel, stop).receiveData(file), KVN_OK);
}

TEST(FilePacketsTest, ADiscardedTransferIsAcknowledgedToItsEnd) {
  const std::atomic<bool> stop{false};
  RecordingChannel channel;
  for (std::uint32_t i = 0; i < 5; ++i)
    channel.files.push_back(announcing(i, i * 100000, 100000, 0));
  channel.files.push_back(endPacket(5, 500000));
  EXPECT_EQ(kvn_network::FileReceiver(channel, stop).discardData(), KVN_OK);
  EXPECT_TRUE(channel.files.empty());
  // One grant per 256 KiB taken.
  EXPECT_EQ(channel.sent.size(), 1u);
}

// A large transfer goes to the disk on a thread of its own. It must still
// arrive whole with one grant per window, and a chunk that cannot be
// written there must fail the transfer as a direct write does: refused,
// with the file's error.
TEST(FilePacketsTest, LargeTransfersWrittenBesideTheReceiverArriveWholeOrFail) {
  constexpr std::uint32_t kChunk = 1 << 20;
  constexpr std::uint64_t kTotal = 9ull * kChunk;
  kvn_test::TempDir dir;
  const std::atomic<bool> stop{false};
  {
    RecordingChannel channel;
    for (std::uint32_t i = 0; i < 9; ++i) {
      NetPacket p = kvn_network::filePacket(0x22010002, 30, "?", i, i * kChunk, kTotal);
      p.putUInt32(kChunk);
      p.putDataChunk(std::vector<std::uint8_t>(kChunk, std::uint8_t(i + 1)).data(), kChunk);
      channel.files.push_back(p);
    }
    channel.files.push_back(endPacket(9, kTotal));
    QFile file(QString::fromStdString(dir.file("big")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_EQ(kvn_network::FileReceiver(channel, stop).receiveData(file), KVN_OK);
    file.close();
    const std::string got = kvn_test::readFile(dir.file("big"));
    ASSERT_EQ(got.size(), kTotal);
    for (std::uint32_t i = 0; i < 9; ++i) EXPECT_EQ(got[std::size_t(i) * kChunk + 5], char(i + 1));
    EXPECT_EQ(channel.sent.size(), 9u);  // one per 1 MiB chunk; none for the end
  }
  {
    RecordingChannel channel;
    channel.files.push_back(announcing(0, 0, kChunk, kTotal));
    // An offset no file can seek to: the writing thread fails on it.
    channel.files.push_back(announcing(1, ~0ull, kChunk, kTotal));
    for (std::uint32_t i = 2; i < 9; ++i)
      channel.files.push_back(announcing(i, std::uint64_t(i) * kChunk, kChunk, kTotal));
    channel.files.push_back(endPacket(9, kTotal));
    QFile file(QString::fromStdString(dir.file("broken")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_THROW(kvn_network::FileReceiver(channel, stop).receiveData(file), KvnQFileException);
    // The refusal went out, and the rest of the transfer was taken off.
    ASSERT_FALSE(channel.sent.empty());
    EXPECT_TRUE(channel.sent.back().isError());
    EXPECT_TRUE(channel.files.empty());
  }
}
