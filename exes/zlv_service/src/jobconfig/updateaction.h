// The "update" launch action: a thread that brings the job configuration up
// to date and, while that fails, tries again at an interval until a pass
// succeeds. One thread at a time: a request that comes while it runs makes
// it repeat its pass (at once when it is waiting) instead of starting
// another thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "jobconfig/jobconfigcontext.h"

class JobConfigUpdateAction {
 public:
  static constexpr std::chrono::milliseconds kRetryInterval = std::chrono::seconds(1800);
  static constexpr const char* kConnectionName = "LaunchActionUPDATEThreadFn";

  // context is asked once per pass.
  explicit JobConfigUpdateAction(std::function<JobConfigContext()> context,
                                 std::chrono::milliseconds retryInterval = kRetryInterval);
  // Stops the thread (see stop()).
  ~JobConfigUpdateAction();
  JobConfigUpdateAction(const JobConfigUpdateAction&) = delete;
  JobConfigUpdateAction& operator=(const JobConfigUpdateAction&) = delete;

  // Starts the thread, or asks the running one to repeat its pass. Returns 0
  // at once; the work happens on the thread.
  std::uint32_t launch();

  // Ends the thread once its pass in progress is over, and waits for it. A
  // later launch() starts a new one.
  void stop();

  bool isRunning() const;
  // Passes run so far, successful or not.
  int passes() const;

 private:
  void threadMain();
  std::uint32_t runPass();
  // After a pass: true when another one is due (a request came, or the
  // retry interval passed after a failure).
  bool nextPassDue(std::uint32_t result);

  std::function<JobConfigContext()> context_;
  std::chrono::milliseconds retryInterval_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool running_ = false;
  bool requested_ = false;
  bool stopping_ = false;
  int passes_ = 0;
  std::thread thread_;
};
