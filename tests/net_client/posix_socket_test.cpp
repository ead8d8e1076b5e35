// The socket at both ends of a connection. The agent's end: what it holds
// back leaves whole and in order, reads through its buffer see the peer's
// bytes unchanged however they are cut, and a peer that leaves is told apart
// from one that is only silent. The box simulator's end, taken over from a
// listener: packets read whole through the frame reader, the end of the
// conversation that loses no answer, and the holds that wait for the agent
// to leave.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kvn_compression/compressor.h"
#include "kvn_log/exception.h"
#include "kvn_network/net_receiver.h"
#include "kvn_network/netpacket.h"
#include "kvn_network/posix_socket.h"

namespace {

using kvn_network::NetPacket;
using kvn_network::NetReceiver;
using kvn_network::PosixSocket;
using Clock = std::chrono::steady_clock;

constexpr const char* kAddress = "127.0.30.20";

// A socket listening on the tests' own address, its port in address.
int listenOn(sockaddr_in& address) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if (listener < 0 || ::inet_pton(AF_INET, kAddress, &address.sin_addr) != 1 ||
      ::bind(listener, any, length) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, any, &length) != 0)
    ADD_FAILURE() << "cannot listen: " << std::strerror(errno);
  return listener;
}

// A listening socket on the tests' own address and the connection made to it.
class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    sockaddr_in address{};
    listener_ = listenOn(address);
    ASSERT_GE(listener_, 0);
    int error = 0;
    socket_ = PosixSocket::connectTo(kAddress, ntohs(address.sin_port), 2000, 2000, error);
    ASSERT_NE(socket_, nullptr) << std::strerror(error);
    peer_ = ::accept(listener_, nullptr, nullptr);
    ASSERT_GE(peer_, 0);
  }
  void TearDown() override {
    socket_.reset();
    if (peer_ >= 0) ::close(peer_);
    if (listener_ >= 0) ::close(listener_);
  }

  // What the peer has received so far, without waiting.
  std::string peerReceived() {
    std::string bytes;
    char chunk[65536];
    for (;;) {
      const ssize_t got = ::recv(peer_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got <= 0) return bytes;
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
  }
  // The peer's next size bytes, waiting for them.
  std::string peerReceives(std::size_t size) {
    std::string bytes(size, '\0');
    std::size_t done = 0;
    while (done < size) {
      const ssize_t got = ::recv(peer_, bytes.data() + done, size - done, 0);
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
  }
  bool send(const std::string& bytes) {
    return socket_->send(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }

  int listener_ = -1;
  int peer_ = -1;
  std::unique_ptr<PosixSocket> socket_;
};

TEST_F(SocketPair, HeldSendsLeaveTogetherInOrderWhenAReadWaitsOrTheHoldEnds) {
  socket_->holdSends(true);
  ASSERT_TRUE(send("first "));
  ASSERT_TRUE(send("second "));
  EXPECT_EQ(socket_->heldBytes(), 13u);
  // Nothing may leave before the read; then all of it, in order.
  ::usleep(20000);
  EXPECT_EQ(peerReceived(), "");
  EXPECT_FALSE(socket_->waitForReadyRead(20));
  EXPECT_TRUE(socket_->isOpen());
  EXPECT_EQ(peerReceives(13), "first second ");

  // Past the limit, what is held goes at once with the new bytes behind it.
  ASSERT_TRUE(send("small "));
  const std::string big(PosixSocket::kHeldLimit, 'b');
  ASSERT_TRUE(send(big));
  EXPECT_EQ(socket_->heldBytes(), 0u);
  EXPECT_EQ(peerReceives(6 + big.size()), "small " + big);

  ASSERT_TRUE(send("last"));
  socket_->holdSends(false);
  EXPECT_EQ(peerReceives(4), "last");
  // Without a hold, a send leaves at once.
  ASSERT_TRUE(send("now"));
  EXPECT_EQ(peerReceives(3), "now");
}

TEST_F(SocketPair, ReadsSeeThePeersBytesUnchangedThroughTheBufferAndItsCompaction) {
  // More than two buffers, read in uneven pieces while more keeps coming,
  // so that unread bytes are moved to the front of a full buffer.
  std::string sent(2 * PosixSocket::kReceiveBuffer + 12345, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 4093);
  std::size_t offset = 0;
  std::string received;
  std::vector<char> piece(5000);
  while (received.size() < sent.size()) {
    if (offset < sent.size()) {
      const std::size_t n = std::min<std::size_t>(70000, sent.size() - offset);
      ASSERT_EQ(::send(peer_, sent.data() + offset, n, 0), static_cast<ssize_t>(n));
      offset += n;
    }
    ASSERT_TRUE(socket_->waitForReadyRead(2000));
    // Reads part of what is there, peeking first as the frame reader does.
    char header[9];
    const std::int64_t peeked = socket_->peek(header, sizeof header);
    ASSERT_GT(peeked, 0);
    const std::int64_t got = socket_->read(
        piece.data(), std::min<std::int64_t>(socket_->bytesAvailable() / 2 + 1,
                                             static_cast<std::int64_t>(piece.size())));
    ASSERT_EQ(std::memcmp(header, piece.data(), static_cast<std::size_t>(std::min(peeked, got))),
              0);
    received.append(piece.data(), static_cast<std::size_t>(got));
    while (offset == sent.size() && socket_->bytesAvailable() > 0) {
      const std::int64_t rest =
          socket_->read(piece.data(), static_cast<std::int64_t>(piece.size()));
      received.append(piece.data(), static_cast<std::size_t>(rest));
    }
  }
  EXPECT_TRUE(received == sent);
}

TEST_F(SocketPair, APeerThatLeavesIsClosedWhileASilentOneOnlyTimesOut) {
  EXPECT_FALSE(socket_->waitForReadyRead(30));
  EXPECT_TRUE(socket_->isOpen());
  // No time at all is a short wait, not one without end.
  EXPECT_FALSE(socket_->waitForReadyRead(0));
  EXPECT_TRUE(socket_->isOpen());

  ASSERT_EQ(::send(peer_, "bye", 3, 0), 3);
  ::close(peer_);
  peer_ = -1;
  ASSERT_TRUE(socket_->waitForReadyRead(2000));
  EXPECT_FALSE(socket_->waitForReadyRead(2000));
  EXPECT_FALSE(socket_->isOpen());
  // What came before the end can still be read.
  char bytes[3];
  EXPECT_EQ(socket_->read(bytes, 3), 3);
  EXPECT_EQ(std::string(bytes, 3), "bye");
  EXPECT_FALSE(send("too late"));
  EXPECT_FALSE(socket_->errorString().empty());
}

// The box simulator's end: a connection a listener accepted (non-blocking,
// as a listener may hand it over), taken over, and read through the frame
// reader as a session reads it; the agent's end is a plain descriptor.
class AcceptedSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    sockaddr_in address{};
    const int listener = listenOn(address);
    ASSERT_GE(listener, 0);
    agent_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(agent_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    box_ = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    ::close(listener);
    ASSERT_GE(box_, 0);
  }
  void TearDown() override { closeAgent(); }
  // Another connection in place of this one.
  void reconnect() {
    receiver_.reset();
    socket_.reset();
    closeAgent();
    SetUp();
  }

  // The box's socket with the frame reader over it.
  void takeOver(int timeoutMs) {
    socket_ = PosixSocket::adoptAccepted(box_, timeoutMs);
    ASSERT_NE(socket_, nullptr);
    receiver_ = std::make_unique<NetReceiver>(compressor_, timeoutMs);
    receiver_->setStream(socket_.get());
  }
  NetPacket next() { return receiver_->receive(NetReceiver::General); }
  // The code the next receive fails with; 0 when a packet came.
  std::uint32_t failure() {
    try {
      next();
    } catch (const KvnCommonException& e) {
      return e.code;
    }
    return 0;
  }
  void agentSends(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(agent_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      ASSERT_GT(n, 0) << std::strerror(errno);
      done += static_cast<std::size_t>(n);
    }
  }
  void closeAgent() {
    if (agent_ >= 0) ::close(agent_);
    agent_ = -1;
  }

  int agent_ = -1;
  int box_ = -1;
  std::unique_ptr<PosixSocket> socket_;
  kvn_compression::Compressor compressor_{1 << 16, -1};
  std::unique_ptr<NetReceiver> receiver_;
};

NetPacket packetWith(std::uint32_t type, std::size_t size, std::uint8_t seed) {
  NetPacket packet(type);
  std::vector<std::uint8_t> body(size);
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<std::uint8_t>(seed + i * 7);
  packet.putDataChunk(body.data(), body.size());
  return packet;
}

std::vector<std::uint8_t> wire(const std::vector<NetPacket>& packets) {
  std::vector<std::uint8_t> bytes;
  for (const NetPacket& p : packets) bytes.insert(bytes.end(), p.bytes().begin(), p.bytes().end());
  return bytes;
}

TEST_F(AcceptedSocket, PacketsArriveWholeHoweverTheyAreCutOnTheWay) {
  takeOver(5000);
  // Forty requests sent at once are taken in one read and parsed from it.
  std::vector<NetPacket> many;
  for (std::uint32_t i = 0; i < 40; ++i) many.push_back(packetWith(100 + i, 20 + i, 1));
  const std::vector<std::uint8_t> batch = wire(many);
  agentSends(batch);
  EXPECT_EQ(next().bytes(), many[0].bytes());
  EXPECT_EQ(socket_->bytesAvailable(),
            static_cast<std::int64_t>(batch.size() - many[0].bytes().size()));
  for (std::size_t i = 1; i < many.size(); ++i) EXPECT_EQ(next().bytes(), many[i].bytes());

  // A packet larger than the buffer, cut into pieces with pauses between
  // them, with the next packet riding on its last piece; then a header
  // that comes one byte at a time.
  const NetPacket large = packetWith(7, 3 << 20, 3);
  const NetPacket small = packetWith(6, 5, 4);  // 8 would be a ping
  const NetPacket last = packetWith(9, 300, 5);
  const std::vector<std::uint8_t> bytes = wire({large, small});
  std::thread agent([&] {
    std::size_t at = 0;
    for (const std::size_t cut : {3, 4000, 300000, 2000000}) {
      agentSends({bytes.begin() + at, bytes.begin() + cut});
      at = cut;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    agentSends({bytes.begin() + at, bytes.end()});
    for (std::uint8_t byte : last.bytes()) agentSends({byte});
  });
  EXPECT_EQ(next().bytes(), large.bytes());
  EXPECT_EQ(next().bytes(), small.bytes());
  EXPECT_EQ(next().bytes(), last.bytes());
  agent.join();
}

TEST_F(AcceptedSocket, AnAgentThatLeftIsAClosedConnectionNotATimeOut) {
  takeOver(5000);
  // What was sent before leaving is still read; then the end is told as a
  // closed socket, not as a time-out.
  const NetPacket only = packetWith(5, 1000, 9);
  agentSends(wire({only}));
  closeAgent();
  EXPECT_EQ(next().bytes(), only.bytes());
  const auto start = Clock::now();
  EXPECT_EQ(failure(), static_cast<std::uint32_t>(KVN_E_SOCKET_CLOSED));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(socket_->isOpen());
}

TEST_F(AcceptedSocket, HalfAHeaderOrHalfALargeBodyTimesOutOnce) {
  // The large body's rest is read straight into the packet: its time-out
  // must end the receive, not start a second wait.
  for (const std::size_t sent : {std::size_t{4}, std::size_t{200000}}) {
    if (socket_) reconnect();
    takeOver(400);
    const std::vector<std::uint8_t> bytes = wire({packetWith(5, 1 << 20, 1)});
    agentSends({bytes.begin(), bytes.begin() + static_cast<long>(sent)});
    const auto start = Clock::now();
    EXPECT_EQ(failure(), static_cast<std::uint32_t>(KVN_E_NETWORK)) << sent;
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(350)) << sent;
    EXPECT_LT(waited, std::chrono::milliseconds(700)) << sent;
    EXPECT_TRUE(socket_->isOpen());
  }
}

TEST_F(AcceptedSocket, AnAnswerLeavesWholeAndIsNotLostWhenTheBoxFinishes) {
  takeOver(5000);
  // Larger than the socket buffers: the send waits for the agent to read.
  std::vector<std::uint8_t> answer(8 << 20);
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i * 13);
  std::vector<std::uint8_t> received;
  std::thread agent([&] {
    // The agent sent a request the box never reads.
    ::send(agent_, "unread", 6, MSG_NOSIGNAL);
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
      const ssize_t n = ::recv(agent_, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        // The box ended the stream; a reset would come as an error.
        EXPECT_EQ(n, 0) << std::strerror(errno);
        break;
      }
      received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    closeAgent();
  });
  EXPECT_TRUE(socket_->send(answer.data(), answer.size()));
  socket_->finish(5000);
  EXPECT_FALSE(socket_->isOpen());
  receiver_.reset();
  socket_.reset();
  agent.join();
  EXPECT_EQ(received, answer);
}

TEST_F(AcceptedSocket, HoldsEndWhenTheAgentLeavesAndSendsFailAfter) {
  takeOver(5000);
  // A hold returns when the agent leaves, though it sent bytes never read.
  std::thread agent([&] {
    ::send(agent_, "pending", 7, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    closeAgent();
  });
  const auto start = Clock::now();
  socket_->waitForPeerToLeave();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900));
  agent.join();
  EXPECT_FALSE(socket_->isOpen());
  const std::uint8_t byte = 1;
  EXPECT_FALSE(socket_->send(&byte, 1));
  EXPECT_FALSE(socket_->errorString().empty());
}

TEST_F(AcceptedSocket, AHoldEndsWhenTheSimulatorShutsTheConnectionDown) {
  takeOver(5000);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::shutdown(box_, SHUT_RDWR);
  });
  socket_->waitForPeerToLeave();
  stopper.join();
  EXPECT_FALSE(socket_->isOpen());
}

TEST(PosixSocketConnect, NoListenerFailsWithTheReason) {
  int error = 0;
  EXPECT_EQ(PosixSocket::connectTo("127.0.30.21", 6670, 2000, 2000, error), nullptr);
  EXPECT_EQ(error, ECONNREFUSED);
}

}  // namespace
