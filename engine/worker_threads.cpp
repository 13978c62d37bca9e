#include "engine/worker_threads.h"

#include <chrono>
#include <system_error>

namespace engine {

bool WorkerThreads::Start(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex_);
  JoinEnded();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  try {
    workers_.push_back(Worker{std::thread([work = std::move(work), ended] {
                                work();
                                ended->store(true);
                              }),
                              ended});
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void WorkerThreads::JoinEnded() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->ended->load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

bool WorkerThreads::JoinAll(int boundMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      JoinEnded();
      if (workers_.empty()) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::size_t WorkerThreads::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  JoinEnded();
  return workers_.size();
}

WorkerThreads& DownloadThreads() {
  static WorkerThreads* const threads = new WorkerThreads;
  return *threads;
}

}  // namespace engine
