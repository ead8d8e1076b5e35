// The simulated box: listens on one address and port and serves every
// agent connection on a thread of its own with blocking sockets.
#pragma once

#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "boxsim/accept_thread.h"
#include "boxsim/faults.h"
#include "boxsim/handler.h"
#include "boxsim/record.h"
#include "boxsim/session.h"
#include "kvn_network/net_settings.h"

namespace boxsim {

inline constexpr std::uint16_t kBoxPort = 6670;

struct SimulatorConfig {
  QString address = "127.0.0.1";
  std::uint16_t port = kBoxPort;
  BoxIdentity identity;
  FaultScript faults;
  kvn_network::NetSettings settings;
};

class BoxSimulator {
 public:
  BoxSimulator(Registry registry, SimulatorConfig config);
  ~BoxSimulator();
  BoxSimulator(const BoxSimulator&) = delete;
  BoxSimulator& operator=(const BoxSimulator&) = delete;

  // Starts listening; false (logged) when the address cannot be bound.
  bool start();
  // Stops accepting, breaks off every session and waits for their threads.
  void stop();

  // Applies to connections accepted from now on.
  void setFaults(const FaultScript& faults);
  // Arms a trap (or none) for connections accepted from now on, keeping the
  // rest of the fault script.
  void setTrap(std::shared_ptr<PhaseTrap> trap);
  std::shared_ptr<PhaseTrap> trap() const;

  // No session is being served.
  bool idle() const;
  // CPU seconds (user and system) the threads of the sessions that have
  // ended used, so that a benchmark can tell the box's share from the
  // agent's in one process.
  double endedSessionsCpuSeconds() const;

  Record& record() { return record_; }
  const BoxIdentity& identity() const { return config_.identity; }
  const SimulatorConfig& config() const { return config_; }

 private:
  void acceptLoop();
  void serve(qintptr descriptor);

  Registry registry_;
  SimulatorConfig config_;
  Record record_;
  mutable std::mutex mutex_;
  std::set<qintptr> live_;
  double endedSessionsCpu_ = 0;
  std::vector<std::thread> sessions_;
  AcceptThread acceptor_;
};

}  // namespace boxsim
