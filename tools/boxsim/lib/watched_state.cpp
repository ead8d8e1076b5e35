#include "boxsim/watched_state.h"

namespace boxsim {

bool WatchedState::waitUntil(const std::function<bool()>& done,
                             std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen = generation_;
      if (shutDown_) break;
    }
    if (done()) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [&] { return generation_ != seen || shutDown_; }))
      break;
  }
  return done();
}

void WatchedState::shutDown() {
  change([&] { shutDown_ = true; });
}

}  // namespace boxsim
