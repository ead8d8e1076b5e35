#include "threads/threadgroup.h"

ThreadGroup::~ThreadGroup() { joinAll(); }

void ThreadGroup::start(std::function<void()> body) {
  std::lock_guard lock(mutex_);
  // The new thread cannot report its end before it is in the map: it needs
  // the mutex held here.
  std::thread thread([this, body = std::move(body)] {
    body();
    std::lock_guard ended(mutex_);
    ended_.push_back(std::this_thread::get_id());
  });
  const std::thread::id id = thread.get_id();
  threads_.emplace(id, std::move(thread));
}

void ThreadGroup::joinEnded() {
  std::vector<std::thread> ended;
  {
    std::lock_guard lock(mutex_);
    for (const std::thread::id id : ended_) {
      const auto it = threads_.find(id);
      if (it == threads_.end()) continue;
      ended.push_back(std::move(it->second));
      threads_.erase(it);
    }
    ended_.clear();
  }
  for (std::thread& thread : ended) thread.join();
}

void ThreadGroup::joinAll() {
  std::map<std::thread::id, std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
    ended_.clear();
  }
  for (auto& [id, thread] : threads) thread.join();
}

std::size_t ThreadGroup::size() const {
  std::lock_guard lock(mutex_);
  return threads_.size();
}
