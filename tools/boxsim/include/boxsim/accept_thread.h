// A blocking accept loop on a thread of its own, for servers that poll
// waitForNewConnection: the box protocol and the control socket.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace boxsim {

class AcceptThread {
 public:
  ~AcceptThread() { stop(); }

  // Runs loop on the thread. loop calls listening(true) once it listens and
  // then polls until stopping(), or calls listening(false) and returns.
  // Waits for that call; true when listening.
  bool start(std::function<void()> loop) {
    if (thread_.joinable()) return state_ == 1;
    stopping_ = false;
    state_ = 0;
    thread_ = std::thread(std::move(loop));
    while (state_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (state_ < 0) thread_.join();
    return state_ == 1;
  }
  void listening(bool ok) { state_ = ok ? 1 : -1; }
  bool stopping() const { return stopping_; }
  // Asks the loop to end and waits for it.
  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> state_{0};  // 0 starting, 1 listening, -1 failed
};

}  // namespace boxsim
