// The job-configuration update at start-up: one pass, then the thread ends.
// A failed pass hands over to the update action, which retries until an
// update succeeds. An agent without a box address contacts nobody.
#pragma once

#include "jobconfig/jobconfigcontext.h"
#include "threads/workerthread.h"

class JobConfigUpdateAction;

class UpdateJobCfgThread : public WorkerThread {
  Q_OBJECT

 public:
  static constexpr const char* kConnectionName = "UpdateCfgThread";

  // A failed pass hands over to retry.
  UpdateJobCfgThread(JobConfigContext context, JobConfigUpdateAction& retry);

  // Stops and waits here, while the members run() uses still exist.
  ~UpdateJobCfgThread() override;

 protected:
  void run() override;

 private:
  // True when the pass succeeded.
  bool updateOnce();

  JobConfigContext context_;
  JobConfigUpdateAction& retry_;
};
