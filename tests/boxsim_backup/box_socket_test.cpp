// The box's socket under the frame reader: packets that arrive together,
// split or large, the ends of a connection, and its time limits.
#include "boxsim/box_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kvn_compression/compressor.h"
#include "kvn_log/exception.h"
#include "kvn_network/net_receiver.h"
#include "kvn_network/netpacket.h"

namespace {

using kvn_network::NetPacket;
using kvn_network::NetReceiver;
using Clock = std::chrono::steady_clock;

// A connected loopback TCP pair: the box's end (taken over by BoxSocket)
// and the agent's.
struct Connection {
  int box = -1;
  int agent = -1;

  Connection() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.31.20", &address.sin_addr);
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (::bind(listener, any, length) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, any, &length) != 0)
      ADD_FAILURE() << "cannot listen: " << std::strerror(errno);
    agent = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(agent, any, length) != 0) ADD_FAILURE() << "cannot connect";
    box = ::accept(listener, nullptr, nullptr);
    ::close(listener);
  }
  ~Connection() {
    if (agent >= 0) ::close(agent);
  }

  void send(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const long n = ::send(agent, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      ASSERT_GT(n, 0) << std::strerror(errno);
      done += static_cast<std::size_t>(n);
    }
  }
};

NetPacket packetWith(std::uint32_t type, std::size_t size, std::uint8_t seed) {
  NetPacket packet(type);
  std::vector<std::uint8_t> body(size);
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<std::uint8_t>(seed + i * 7);
  packet.putDataChunk(body.data(), body.size());
  return packet;
}

std::vector<std::uint8_t> wire(std::initializer_list<NetPacket> packets) {
  std::vector<std::uint8_t> bytes;
  for (const NetPacket& p : packets) bytes.insert(bytes.end(), p.bytes().begin(), p.bytes().end());
  return bytes;
}

// The frame reader over a BoxSocket, as a session has it.
struct Reader {
  kvn_compression::Compressor compressor{1 << 16, -1};
  boxsim::BoxSocket socket;
  NetReceiver receiver{compressor, 0};

  Reader(int descriptor, int timeoutMs)
      : socket(descriptor, timeoutMs), receiver(compressor, timeoutMs) {
    receiver.setStream(&socket);
  }
  NetPacket next() { return receiver.receive(NetReceiver::General); }
};

std::uint32_t failureOf(Reader& reader) {
  try {
    reader.next();
  } catch (const KvnCommonException& e) {
    return e.code;
  }
  return 0;
}

TEST(BoxSocket, PacketsArriveWholeHoweverTheyAreCutOnTheWay) {
  Connection link;
  Reader reader(link.box, 5000);
  ASSERT_TRUE(reader.socket.valid());

  // Forty requests sent at once are taken in one read and parsed from it.
  std::vector<NetPacket> many;
  for (std::uint32_t i = 0; i < 40; ++i) many.push_back(packetWith(100 + i, 20 + i, 1));
  std::vector<std::uint8_t> batch;
  for (const NetPacket& p : many) batch.insert(batch.end(), p.bytes().begin(), p.bytes().end());
  link.send(batch);
  EXPECT_EQ(reader.next().bytes(), many[0].bytes());
  EXPECT_EQ(reader.socket.bytesAvailable(),
            static_cast<std::int64_t>(batch.size() - many[0].bytes().size()));
  for (std::size_t i = 1; i < many.size(); ++i) EXPECT_EQ(reader.next().bytes(), many[i].bytes());

  // A packet larger than the buffer, cut into pieces with pauses between
  // them, with the next packet riding on its last piece; then a header
  // that comes one byte at a time.
  const NetPacket large = packetWith(7, 3 << 20, 3);
  const NetPacket small = packetWith(6, 5, 4);  // 8 would be a ping
  const NetPacket last = packetWith(9, 300, 5);
  std::vector<std::uint8_t> bytes = wire({large, small});
  std::thread agent([&] {
    const std::size_t cuts[] = {3, 4000, 300000, 2000000};
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
      link.send({bytes.begin() + at, bytes.begin() + cut});
      at = cut;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    link.send({bytes.begin() + at, bytes.end()});
    for (std::uint8_t byte : last.bytes()) link.send({byte});
  });
  EXPECT_EQ(reader.next().bytes(), large.bytes());
  EXPECT_EQ(reader.next().bytes(), small.bytes());
  EXPECT_EQ(reader.next().bytes(), last.bytes());
  agent.join();
}

TEST(BoxSocket, AnAgentThatLeftIsAClosedConnectionAndOneThatStallsTimesOut) {
  {
    // What was sent before leaving is still read; then the end is told as
    // a closed socket, not as a time-out.
    Connection link;
    Reader reader(link.box, 5000);
    const NetPacket only = packetWith(5, 1000, 9);
    link.send(wire({only}));
    ::close(link.agent);
    link.agent = -1;
    EXPECT_EQ(reader.next().bytes(), only.bytes());
    const auto start = Clock::now();
    EXPECT_EQ(failureOf(reader), static_cast<std::uint32_t>(KVN_E_SOCKET_CLOSED));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(reader.socket.isOpen());
  }
  // Half a header, or half of a large body, then nothing: one time limit
  // later the read gives up.
  for (const std::size_t sent : {std::size_t{4}, std::size_t{200000}}) {
    Connection link;
    Reader reader(link.box, 300);
    const std::vector<std::uint8_t> bytes = wire({packetWith(5, 1 << 20, 1)});
    link.send({bytes.begin(), bytes.begin() + static_cast<long>(sent)});
    const auto start = Clock::now();
    EXPECT_EQ(failureOf(reader), static_cast<std::uint32_t>(KVN_E_NETWORK)) << sent;
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250)) << sent;
    EXPECT_LT(waited, std::chrono::milliseconds(1500)) << sent;
    EXPECT_TRUE(reader.socket.isOpen());
  }
}

TEST(BoxSocket, AnswersLeaveWholeAndTheLastOneIsNotLostAtTheClose) {
  Connection link;
  auto socket = std::make_unique<boxsim::BoxSocket>(link.box, 5000);
  // Larger than the socket buffers: the write waits for the agent to read.
  std::vector<std::uint8_t> answer(8 << 20);
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i * 13);
  std::vector<std::uint8_t> received;
  std::thread agent([&] {
    // The agent sent a request the box never reads.
    ::send(link.agent, "unread", 6, MSG_NOSIGNAL);
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
      const long n = ::recv(link.agent, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        // The box ended the stream; a reset would come as an error.
        EXPECT_EQ(n, 0) << std::strerror(errno);
        break;
      }
      received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    ::close(link.agent);
    link.agent = -1;
  });
  EXPECT_TRUE(socket->writeAll(answer.data(), answer.size()));
  socket->finish();
  socket.reset();
  agent.join();
  EXPECT_EQ(received, answer);
}

TEST(BoxSocket, WritesFailOnceTheAgentIsGoneAndHoldsEndWithIt) {
  Connection link;
  boxsim::BoxSocket socket(link.box, 5000);
  // A hold returns when the agent leaves, though it sent bytes never read.
  std::thread agent([&] {
    ::send(link.agent, "pending", 7, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(link.agent);
    link.agent = -1;
  });
  const auto start = Clock::now();
  socket.waitForPeerToLeave();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
  agent.join();
  EXPECT_FALSE(socket.isOpen());
  std::vector<std::uint8_t> answer(1 << 20, 1);
  bool sent = true;
  for (int i = 0; i < 8 && sent; ++i) sent = socket.writeAll(answer.data(), answer.size());
  EXPECT_FALSE(sent);
  EXPECT_FALSE(socket.writeAll(answer.data(), 1));

  // A hold also ends when the simulator shuts the connection down.
  Connection other;
  boxsim::BoxSocket held(other.box, 5000);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::shutdown(other.box, SHUT_RDWR);
  });
  held.waitForPeerToLeave();
  stopper.join();
  EXPECT_FALSE(held.isOpen());
}

}  // namespace
