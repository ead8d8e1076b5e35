#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

#include "kvn_platform/stop_signals.h"

namespace kvn_platform {

namespace {

sigset_t stopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void holdStopRequests() {
  const sigset_t set = stopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void releaseStopRequests() {
  const sigset_t set = stopSet();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool waitForStopRequest(std::chrono::milliseconds timeout) {
  const sigset_t set = stopSet();
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  ts.tv_nsec = static_cast<long>((timeout.count() % 1000) * 1000000);
  for (;;) {
    const int sig = sigtimedwait(&set, nullptr, &ts);
    if (sig > 0) return true;
    if (errno != EINTR) return false;  // EAGAIN: timed out
  }
}

}  // namespace kvn_platform
