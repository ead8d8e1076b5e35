// The platform's service manager, seen from the agent.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace kvn_platform {

class ServiceHost {
 public:
  struct Hooks {
    // Called on the host's thread when the service manager asks the agent
    // to stop; it must hand the request over to the main thread.
    std::function<void()> stopRequested;
    // Blocks until the application has begun to quit.
    std::function<void()> waitUntilQuitting;
  };

  virtual ~ServiceHost() = default;

  // Runs the service side until a stop request has been handed over and the
  // application is quitting, or until cancel(). Blocks the calling thread.
  virtual void run(const Hooks& hooks) = 0;

  // Makes run() return soon when the application ends for another reason.
  virtual void cancel() = 0;

  // Tells the service manager that the agent is up / on its way down.
  virtual void notifyReady() = 0;
  virtual void notifyStopping() = 0;
};

std::unique_ptr<ServiceHost> makeServiceHost();

}  // namespace kvn_platform
