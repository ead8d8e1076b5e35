#include "boxsim/simulator.h"

#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <condition_variable>

#include "kvn_log/log.h"

namespace boxsim {

namespace {

// Hands every accepted connection's descriptor to the simulator, which
// serves it on a thread of its own.
class Listener : public QTcpServer {
 public:
  explicit Listener(std::function<void(qintptr)> accepted) : accepted_(std::move(accepted)) {}

 protected:
  void incomingConnection(qintptr descriptor) override { accepted_(descriptor); }

 private:
  std::function<void(qintptr)> accepted_;
};

}  // namespace

BoxSimulator::BoxSimulator(Registry registry, SimulatorConfig config)
    : registry_(std::move(registry)), config_(std::move(config)) {
  BoxIdentity& id = config_.identity;
  if (id.firstKey.privatePem.empty()) id.firstKey = kvn_crypto::generateRsaKeyPair();
  if (id.secondKey.privatePem.empty()) id.secondKey = kvn_crypto::generateRsaKeyPair();
  if (id.dataKey.empty()) {
    id.dataKey.resize(32);
    for (auto& b : id.dataKey)
      b = static_cast<std::uint8_t>(QRandomGenerator::system()->bounded(256));
  }
}

BoxSimulator::~BoxSimulator() { stop(); }

bool BoxSimulator::start() {
  return acceptor_.start([this] { acceptLoop(); });
}

void BoxSimulator::acceptLoop() {
  Listener server([this](qintptr descriptor) { serve(descriptor); });
  if (!server.listen(QHostAddress(config_.address), config_.port)) {
    KLOG_E("Box simulator cannot listen on %s:%d: %s", config_.address.toUtf8().constData(),
           static_cast<int>(config_.port), server.errorString().toUtf8().constData());
    acceptor_.listening(false);
    return;
  }
  KLOG_I("Box simulator listening on %s:%d", config_.address.toUtf8().constData(),
         static_cast<int>(config_.port));
  acceptor_.listening(true);
  while (!acceptor_.stopping()) server.waitForNewConnection(100);
}

void BoxSimulator::serve(qintptr descriptor) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (acceptor_.stopping()) {
    ::close(static_cast<int>(descriptor));
    return;
  }
  live_.insert(descriptor);
  const FaultScript faults = config_.faults;
  sessions_.emplace_back([this, descriptor, faults] {
    record_.addConnection();
    {
      BoxSession session(descriptor, config_.identity, registry_, faults, record_,
                         config_.settings);
      session.run();
      // Forgotten before the session closes the descriptor, so that stop()
      // never shuts down a number the system has handed out again.
      std::lock_guard<std::mutex> lock(mutex_);
      live_.erase(descriptor);
      timespec used{};
      if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0)
        endedSessionsCpu_ += double(used.tv_sec) + double(used.tv_nsec) / 1e9;
    }
  });
}

bool BoxSimulator::idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_.empty();
}

double BoxSimulator::endedSessionsCpuSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return endedSessionsCpu_;
}

void BoxSimulator::setFaults(const FaultScript& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.faults = faults;
}

void BoxSimulator::setTrap(std::shared_ptr<PhaseTrap> trap) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_.faults.trap = std::move(trap);
}

std::shared_ptr<PhaseTrap> BoxSimulator::trap() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.faults.trap;
}

void BoxSimulator::stop() {
  acceptor_.stop();
  std::vector<std::thread> sessions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Wakes sessions blocked in a read; they see the connection end.
    for (qintptr descriptor : live_) ::shutdown(static_cast<int>(descriptor), SHUT_RDWR);
    sessions.swap(sessions_);
  }
  for (std::thread& t : sessions) t.join();
}

}  // namespace boxsim
