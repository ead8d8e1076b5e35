#include "tessel/launchactionrunner.h"

#include <exception>

#include "kvn_log/log.h"

LaunchActionRunner::~LaunchActionRunner() { shutdown(); }

bool LaunchActionRunner::start(std::function<void()> work) {
  std::list<Worker> finished;
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) return false;
    finished = takeFinished();
    Worker& worker = workers_.emplace_back();
    ++running_;
    // The thread only starts once its record is in the list, and the record
    // stays there until the thread is joined.
    worker.thread =
        std::thread([this, &worker, work = std::move(work)] { runWorker(&worker, work); });
  }
  for (Worker& done : finished) done.thread.join();
  return true;
}

void LaunchActionRunner::runWorker(Worker* worker, const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    KLOG_E("Exception in launch action: %s", e.what());
  } catch (...) {
    KLOG_E("Exception in launch action");
  }
  std::lock_guard lock(mutex_);
  worker->done = true;
  --running_;
  idle_.notify_all();
}

std::list<LaunchActionRunner::Worker> LaunchActionRunner::takeFinished() {
  std::list<Worker> finished;
  for (auto it = workers_.begin(); it != workers_.end();) {
    const auto next = std::next(it);
    if (it->done) finished.splice(finished.end(), workers_, it);
    it = next;
  }
  return finished;
}

void LaunchActionRunner::shutdown() {
  std::list<Worker> all;
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    all.swap(workers_);
  }
  for (Worker& worker : all) worker.thread.join();
}

bool LaunchActionRunner::waitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

std::size_t LaunchActionRunner::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}
