// Restorations and deletions of a job's files must not run while the job
// is being backed up. The file-operation manager answers these questions.
#pragma once

#include <cstdint>

class FileOperationGate {
 public:
  virtual ~FileOperationGate() = default;
  // Whether a restoration or deletion of the job is running.
  virtual bool isRunning(std::int64_t jobId) = 0;
  // Asks it to give way; false when it refuses.
  virtual bool askToYield(std::int64_t jobId) = 0;
  // Returns once none runs for the job.
  virtual void waitUntilIdle(std::int64_t jobId) = 0;

  // A gate for a process without file operations: nothing ever runs, so a
  // backup never waits.
  static FileOperationGate& none();
};
