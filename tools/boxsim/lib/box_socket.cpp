#include "boxsim/box_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "kvn_log/log.h"

namespace boxsim {

namespace {

// Room for many small requests, or the start of a large one.
constexpr std::size_t kBufferSize = 256 * 1024;
// Below this much free room at the end, the buffer's rest moves to the front.
constexpr std::size_t kMinimumRoom = 16 * 1024;
// Reads at least this large skip the buffer when it is empty.
constexpr std::int64_t kDirectRead = 64 * 1024;

bool setTimeout(int descriptor, int option, int ms) {
  timeval limit{};
  limit.tv_sec = ms / 1000;
  limit.tv_usec = (ms % 1000) * 1000;
  return ::setsockopt(descriptor, SOL_SOCKET, option, &limit, sizeof limit) == 0;
}

bool prepareDescriptor(int descriptor, int timeoutMs) {
  const int flags = ::fcntl(descriptor, F_GETFL);
  const int on = 1;
  // Every exchange is a small request and a small answer: without this the
  // kernel holds short answers back waiting for acknowledgements.
  return flags >= 0 && ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0 &&
         ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
         setTimeout(descriptor, SO_RCVTIMEO, timeoutMs) &&
         setTimeout(descriptor, SO_SNDTIMEO, timeoutMs);
}

}  // namespace

BoxSocket::BoxSocket(int descriptor, int timeoutMs)
    : timeoutMs_(std::max(timeoutMs, 1)), buffer_(kBufferSize) {
  if (descriptor < 0 || !prepareDescriptor(descriptor, timeoutMs_)) {
    KLOG_E("Box session cannot take over the connection: %s", std::strerror(errno));
    if (descriptor >= 0) ::close(descriptor);
    return;
  }
  descriptor_ = descriptor;
  open_ = true;
  writable_ = true;
}

BoxSocket::~BoxSocket() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

bool BoxSocket::took(long got, const char* what) {
  if (got > 0) return true;
  if (got == 0) {
    open_ = false;
  } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
    KLOG_W("Box connection: %s failed: %s", what, std::strerror(errno));
    open_ = false;
  }
  return false;
}

bool BoxSocket::fill(int ms) {
  if (!open_) return false;
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (buffer_.size() - end_ < kMinimumRoom) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) return true;
  if (ms != timeoutMs_) {
    // Another limit than the socket's own: wait for it here.
    pollfd ready{descriptor_, POLLIN, 0};
    if (::poll(&ready, 1, std::max(ms, 0)) <= 0) return false;
  }
  for (;;) {
    const long got = ::recv(descriptor_, buffer_.data() + end_, buffer_.size() - end_, 0);
    if (got < 0 && errno == EINTR) continue;
    if (!took(got, "read")) return false;
    end_ += static_cast<std::size_t>(got);
    return true;
  }
}

std::int64_t BoxSocket::peek(char* data, std::int64_t size) {
  const std::int64_t n = std::min(size, bytesAvailable());
  if (n > 0) std::memcpy(data, buffer_.data() + begin_, static_cast<std::size_t>(n));
  return n;
}

std::int64_t BoxSocket::read(char* data, std::int64_t size) {
  const std::int64_t n = peek(data, size);
  begin_ += static_cast<std::size_t>(n);
  if (n > 0 || size < kDirectRead || !open_) return n;
  // The rest of a large packet: straight into its place, all of it in one
  // call unless the time runs out or the connection ends.
  for (;;) {
    const long got = ::recv(descriptor_, data, static_cast<std::size_t>(size), MSG_WAITALL);
    if (got < 0 && errno == EINTR) continue;
    if (took(got, "read")) return got;
    if (open_) timedOut_ = true;
    return 0;
  }
}

bool BoxSocket::waitForReadyRead(int ms) {
  if (timedOut_) {
    timedOut_ = false;
    return false;
  }
  return fill(ms);
}

bool BoxSocket::writeAll(const std::uint8_t* data, std::size_t size) {
  while (writable_ && size > 0) {
    const long sent = ::send(descriptor_, data, size, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    KLOG_E("Failed to send data: %s", sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK
                                          ? std::strerror(errno)
                                          : "the peer takes nothing");
    writable_ = false;
  }
  return writable_;
}

void BoxSocket::waitForPeerToLeave() {
  while (open_) {
    pollfd gone{descriptor_, POLLRDHUP, 0};
    const int ready = ::poll(&gone, 1, 1000);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) break;  // the peer's end, a hang-up or an error
  }
  open_ = false;
}

void BoxSocket::finish() {
  if (descriptor_ < 0) return;
  if (writable_) ::shutdown(descriptor_, SHUT_WR);
  writable_ = false;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  for (;;) {
    begin_ = end_ = 0;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !fill(static_cast<int>(left))) break;
  }
  open_ = false;
}

}  // namespace boxsim
