#include "multicast_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kvn_network/mdns_protocol.h"

namespace kvn_mdns {

namespace {

sockaddr_in groupAddress() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kvn_network::kMdnsPort);
  inet_pton(AF_INET, kvn_network::kMdnsGroup, &address.sin_addr);
  return address;
}

}  // namespace

bool MulticastSocket::fail(std::string& error) {
  error = std::strerror(errno);
  close();
  return false;
}

bool MulticastSocket::open(std::string& error) {
  close();
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return fail(error);

  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) return fail(error);

  const unsigned char ttl = 1;
  const unsigned char loop = 1;
  ip_mreq membership{};
  membership.imr_multiaddr = groupAddress().sin_addr;
  membership.imr_interface.s_addr = htonl(INADDR_ANY);
  if (::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
      ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0 ||
      ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
    return fail(error);
  return true;
}

bool MulticastSocket::sendToGroup(ByteView message, std::string& error) {
  const sockaddr_in group = groupAddress();
  const ssize_t sent = ::sendto(fd_, message.data(), message.size(), 0,
                                reinterpret_cast<const sockaddr*>(&group), sizeof group);
  if (sent == static_cast<ssize_t>(message.size())) return true;
  if (sent >= 0) errno = EMSGSIZE;
  return fail(error);
}

std::optional<Bytes> MulticastSocket::receive(std::string& error) {
  Bytes buffer(kvn_network::kMdnsMaxMessage);
  const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) error = std::strerror(errno);
    return std::nullopt;
  }
  buffer.resize(static_cast<std::size_t>(got));
  return buffer;
}

void MulticastSocket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace kvn_mdns
