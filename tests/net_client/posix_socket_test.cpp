// The agent's socket: what it holds back leaves whole and in order, reads
// through its buffer see the peer's bytes unchanged however they are cut,
// and a peer that leaves is told apart from one that is only silent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kvn_network/posix_socket.h"

namespace {

using kvn_network::PosixSocket;

// A listening socket on the tests' own address and the connection made to it.
class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    ASSERT_EQ(::inet_pton(AF_INET, "127.0.30.20", &address.sin_addr), 1);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener_, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int error = 0;
    socket_ = PosixSocket::connectTo("127.0.30.20", ntohs(address.sin_port), 2000, 2000, error);
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

TEST(PosixSocketConnect, NoListenerFailsWithTheReason) {
  int error = 0;
  EXPECT_EQ(PosixSocket::connectTo("127.0.30.21", 6670, 2000, 2000, error), nullptr);
  EXPECT_EQ(error, ECONNREFUSED);
}

}  // namespace
