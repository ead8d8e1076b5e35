// The service manager here is systemd: the agent runs as a plain daemon
// (no double fork), stops on SIGTERM and reports its state through
// $NOTIFY_SOCKET when systemd asks for it.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvn_log/log.h"
#include "kvn_platform/service_host.h"
#include "kvn_platform/stop_signals.h"

namespace kvn_platform {

namespace {

// How often the host looks for a stop request or a cancel.
constexpr std::chrono::milliseconds kPollInterval{200};

// The sd_notify datagram, without libsystemd.
void notifySystemd(const char* state) {
  const char* socketPath = std::getenv("NOTIFY_SOCKET");
  if (socketPath == nullptr || (socketPath[0] != '/' && socketPath[0] != '@')) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(socketPath);
  if (length >= sizeof addr.sun_path) return;
  std::memcpy(addr.sun_path, socketPath, length);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const socklen_t addrLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  if (::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
               addrLength) < 0) {
    KLOG_W("cannot notify the service manager (%s): %s", state, std::strerror(errno));
  }
  ::close(fd);
}

class PosixServiceHost final : public ServiceHost {
 public:
  void run(const Hooks& hooks) override {
    KLOG_I("ServiceMain starting...");
    while (!cancelled_.load()) {
      if (!waitForStopRequest(kPollInterval)) continue;
      KLOG_I("ServiceMain stopping...");
      hooks.stopRequested();
      hooks.waitUntilQuitting();
      return;
    }
  }

  void cancel() override { cancelled_.store(true); }

  void notifyReady() override { notifySystemd("READY=1"); }
  void notifyStopping() override { notifySystemd("STOPPING=1"); }

 private:
  std::atomic<bool> cancelled_{false};
};

}  // namespace

std::unique_ptr<ServiceHost> makeServiceHost() { return std::make_unique<PosixServiceHost>(); }

}  // namespace kvn_platform
