#include "kvn_network/posix_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "kvn_log/log.h"

namespace kvn_network {

namespace {

timeval toTimeval(int ms) {
  timeval value{};
  value.tv_sec = ms / 1000;
  value.tv_usec = (ms % 1000) * 1000;
  return value;
}

// Connects fd within timeoutMs: 0 or the errno of the failure. The socket
// is non-blocking during the attempt and blocking again after it.
int connectWithin(int fd, const sockaddr* address, socklen_t length, int timeoutMs) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  int error = 0;
  if (::connect(fd, address, length) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      pollfd wait{fd, POLLOUT, 0};
      int ready;
      do {
        ready = ::poll(&wait, 1, timeoutMs);
      } while (ready < 0 && errno == EINTR);
      if (ready < 0) {
        error = errno;
      } else if (ready == 0) {
        error = ETIMEDOUT;
      } else {
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      }
    }
  }
  if (error == 0 && ::fcntl(fd, F_SETFL, flags) != 0) error = errno;
  return error;
}

}  // namespace

std::unique_ptr<PosixSocket> PosixSocket::connectTo(const std::string& host, std::uint16_t port,
                                                    int timeoutMs, int sendTimeoutMs, int& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0) {
    KLOG_W("cannot resolve %s: %s", host.c_str(), ::gai_strerror(resolved));
    error = resolved == EAI_SYSTEM ? errno : EHOSTUNREACH;
    return nullptr;
  }
  error = EHOSTUNREACH;
  std::unique_ptr<PosixSocket> connected;
  for (addrinfo* address = found; address != nullptr && !connected; address = address->ai_next) {
    const int fd =
        ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    error = connectWithin(fd, address->ai_addr, address->ai_addrlen, timeoutMs);
    if (error != 0) {
      ::close(fd);
      continue;
    }
    connected = std::make_unique<PosixSocket>(fd, sendTimeoutMs);
  }
  ::freeaddrinfo(found);
  return connected;
}

std::unique_ptr<PosixSocket> PosixSocket::adoptAccepted(int fd, int sendTimeoutMs) {
  // A listener may hand its connections over non-blocking.
  const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
  if (flags < 0 || ((flags & O_NONBLOCK) != 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
    KLOG_E("cannot take over the connection: %s", std::strerror(fd < 0 ? EBADF : errno));
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixSocket>(fd, sendTimeoutMs);
}

PosixSocket::PosixSocket(int fd, int sendTimeoutMs) : fd_(fd), in_(kReceiveBuffer) {
  // Every exchange is a small request and a small answer: without this the
  // kernel holds the short packets back waiting for acknowledgements.
  const int on = 1;
  if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
    KLOG_W("cannot set TCP_NODELAY: %s", std::strerror(errno));
  // A peer that stops reading fails the send instead of blocking it for ever.
  const timeval limit = toTimeval(sendTimeoutMs);
  if (::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
    KLOG_W("cannot set the send timeout: %s", std::strerror(errno));
}

PosixSocket::~PosixSocket() {
  if (fd_ >= 0) ::close(fd_);
}

std::int64_t PosixSocket::peek(char* data, std::int64_t size) {
  const auto n = static_cast<std::size_t>(std::min<std::int64_t>(size, bytesAvailable()));
  std::memcpy(data, in_.data() + begin_, n);
  return static_cast<std::int64_t>(n);
}

std::int64_t PosixSocket::read(char* data, std::int64_t size) {
  const std::int64_t n = peek(data, size);
  begin_ += static_cast<std::size_t>(n);
  if (begin_ == end_) begin_ = end_ = 0;
  // A direct read needs the time limit that the first wait set.
  if (n > 0 || size < kDirectRead || closed_ || timedOut_ || receiveTimeoutMs_ < 0) return n;
  return readDirect(data, size);
}

std::int64_t PosixSocket::readDirect(char* data, std::int64_t size) {
  // The peer may be waiting for what is held before it sends the rest.
  if (!held_.empty() && !sendNow(nullptr, 0)) return 0;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const ssize_t got = ::recv(fd_, data, static_cast<std::size_t>(size), MSG_WAITALL);
    if (got > 0) {
      // Part of it after the whole time limit: the peer stalled, and the
      // next wait must not wait a second time.
      if (got < size &&
          std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(receiveTimeoutMs_))
        timedOut_ = true;
      return got;
    }
    if (got == 0) {
      peerClosed();
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      timedOut_ = true;
    } else {
      fail(errno);
    }
    return 0;
  }
}

bool PosixSocket::setReceiveTimeout(int ms) {
  if (ms == receiveTimeoutMs_) return true;
  const timeval limit = toTimeval(ms);
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
    fail(errno);
    return false;
  }
  receiveTimeoutMs_ = ms;
  return true;
}

bool PosixSocket::waitForReadyRead(int ms) {
  if (timedOut_) {
    timedOut_ = false;
    return false;
  }
  // The peer may be waiting for what is held before it answers.
  if (!held_.empty() && !sendNow(nullptr, 0)) return false;
  if (closed_) return false;
  // A zero limit on the socket would mean waiting for ever.
  if (!setReceiveTimeout(std::max(ms, 1))) return false;
  // A full buffer has bytes to read already.
  if (end_ - begin_ == in_.size()) return true;
  if (in_.size() - end_ < kMinimumRoom) {
    // The unread bytes move to the front to make room, so that the read
    // does not take a few bytes only.
    std::memmove(in_.data(), in_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  for (;;) {
    const ssize_t got = ::recv(fd_, in_.data() + end_, in_.size() - end_, 0);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got == 0) {
      peerClosed();
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    fail(errno);
    return false;
  }
}

bool PosixSocket::send(const std::uint8_t* data, std::size_t size) {
  if (closed_) {
    if (error_.empty()) error_ = "The socket is not connected";
    return false;
  }
  if (holding_ && held_.size() + size <= kHeldLimit) {
    held_.insert(held_.end(), data, data + size);
    return true;
  }
  return sendNow(data, size);
}

bool PosixSocket::sendNow(const std::uint8_t* data, std::size_t size) {
  if (closed_) return false;
  iovec parts[2] = {{held_.data(), held_.size()}, {const_cast<std::uint8_t*>(data), size}};
  iovec* next = held_.empty() ? parts + 1 : parts;
  const iovec* const last = parts + 2;
  while (next != last) {
    if (next->iov_len == 0) {
      ++next;
      continue;
    }
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = static_cast<std::size_t>(last - next);
    const ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      fail(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
      return false;
    }
    auto left = static_cast<std::size_t>(sent);
    while (next != last && left >= next->iov_len) {
      left -= next->iov_len;
      ++next;
    }
    if (next != last) {
      next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + left;
      next->iov_len -= left;
    }
  }
  held_.clear();
  return true;
}

void PosixSocket::holdSends(bool hold) {
  holding_ = hold;
  if (!hold && !held_.empty() && !sendNow(nullptr, 0))
    KLOG_E("Failed to send data: %s", error_.c_str());
}

void PosixSocket::waitForPeerToLeave() {
  if (!held_.empty() && !sendNow(nullptr, 0)) return;
  int ready = 0;
  while (!closed_ && ready == 0) {
    // The peer's end, a hang-up or an error; bytes it sends stay unread.
    pollfd gone{fd_, POLLRDHUP, 0};
    ready = ::poll(&gone, 1, -1);
    if (ready < 0 && errno == EINTR) ready = 0;
  }
  if (!closed_) peerClosed();
}

void PosixSocket::finish(int timeoutMs) {
  if (fd_ < 0) return;
  if (!held_.empty() && !closed_) {
    const timeval limit = toTimeval(timeoutMs);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (!sendNow(nullptr, 0)) KLOG_E("Failed to send data: %s", error_.c_str());
  }
  // Half-closes, then reads until the peer closes too (a second at most):
  // a socket closed with unread bytes resets the connection, and the peer
  // could lose what it had not read yet.
  if (!closed_ && ::shutdown(fd_, SHUT_WR) == 0 && setReceiveTimeout(1000)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    ssize_t got;
    do {
      got = ::recv(fd_, in_.data(), in_.size(), 0);
    } while ((got > 0 && std::chrono::steady_clock::now() < deadline) ||
             (got < 0 && errno == EINTR));
  }
  begin_ = end_ = 0;
  closed_ = true;
  held_.clear();
}

void PosixSocket::close(int timeoutMs) {
  finish(timeoutMs);
  abort();
}

void PosixSocket::abort() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  closed_ = true;
  held_.clear();
}

void PosixSocket::fail(int error) {
  closed_ = true;
  error_ = std::strerror(error);
}

void PosixSocket::peerClosed() {
  closed_ = true;
  error_ = "The remote host closed the connection";
}

}  // namespace kvn_network
