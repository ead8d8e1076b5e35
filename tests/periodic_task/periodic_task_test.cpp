// Periodic tasks on the global thread pool and the worker-thread base.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThreadPool>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "core_app_environment.h"
#include "process_runner.h"
#include "threads/periodictask.h"
#include "threads/workerthread.h"

namespace {

using namespace std::chrono_literals;

class CountingTask : public PeriodicTask {
 public:
  ~CountingTask() override { stopAndWait(); }

  std::atomic<int> runs{0};
  std::atomic<int> active{0};
  std::atomic<int> maxActive{0};
  std::atomic<int> done{0};
  std::atomic<bool> throwNext{false};
  std::atomic<bool>* finished = nullptr;  // outlives the task
  std::chrono::milliseconds duration{0};

 protected:
  void run() override {
    const int now = ++active;
    for (int seen = maxActive.load(); now > seen && !maxActive.compare_exchange_weak(seen, now);) {
    }
    ++runs;
    std::this_thread::sleep_for(duration);
    --active;
    if (finished) *finished = true;
    if (throwNext.exchange(false)) throw std::runtime_error("task failed");
  }
};

void drainPool() { QThreadPool::globalInstance()->waitForDone(); }

TEST(PeriodicTask, TheFirstRunHappensOnceTheEventLoopRuns) {
  CountingTask task;
  QObject::connect(&task, &PeriodicTask::taskDone, [&] { ++task.done; });
  task.startPeriodic(3600000);
  EXPECT_EQ(task.runs.load(), 0);  // queued, not yet run
  ASSERT_TRUE(kvn_test::waitFor(
      [&] {
        QCoreApplication::processEvents();
        return task.done.load() == 1;
      },
      30s));
  EXPECT_EQ(task.runs.load(), 1);
  EXPECT_TRUE(task.isActive());
  EXPECT_EQ(task.interval(), 3600000);
}

TEST(PeriodicTask, RunsOfOneTaskNeverOverlap) {
  CountingTask task;
  task.duration = 50ms;
  for (int i = 0; i < 6; ++i) task.runTaskAsync();
  drainPool();
  EXPECT_EQ(task.maxActive.load(), 1);
  EXPECT_GE(task.runs.load(), 1);
}

TEST(PeriodicTask, AThrowingRunIsContainedAndTheNextRunStillHappens) {
  CountingTask task;
  QObject::connect(&task, &PeriodicTask::taskDone, [&] { ++task.done; });
  task.throwNext = true;
  task.runTaskAsync();
  drainPool();
  EXPECT_FALSE(task.isRunning());
  task.runTaskAsync();
  drainPool();
  EXPECT_EQ(task.runs.load(), 2);
  QCoreApplication::processEvents();
  EXPECT_EQ(task.done.load(), 1);  // only the run that returned normally
}

TEST(PeriodicTask, DestructionWaitsForTheRunInProgress) {
  std::atomic<bool> finished{false};
  auto task = std::make_unique<CountingTask>();
  task->duration = 300ms;
  task->finished = &finished;
  task->runTaskAsync();
  ASSERT_TRUE(kvn_test::waitFor([&] { return task->isRunning(); }, 30s));
  task.reset();
  EXPECT_TRUE(finished.load());
  drainPool();
}

class SleepyWorker : public WorkerThread {
 public:
  SleepyWorker() : WorkerThread("Sleepy") {}
  std::atomic<int> passes{0};

 protected:
  void run() override {
    do {
      ++passes;
    } while (sleepFor(std::chrono::hours(24)));
  }
};

TEST(WorkerThread, AStopRequestEndsTheSleepOfTheLoop) {
  auto worker = std::make_unique<SleepyWorker>();
  EXPECT_EQ(worker->objectName(), "Sleepy");
  worker->start();
  ASSERT_TRUE(kvn_test::waitFor([&] { return worker->passes.load() == 1; }, 30s));
  worker.reset();  // would hang for a day if the sleep ignored the request
  SUCCEED();
}

}  // namespace
