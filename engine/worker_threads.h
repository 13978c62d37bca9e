// The threads of the download worker, owned by the process. A thread is
// joined once it has ended (at the next start) and all of them when the
// program ends, with a bound: a worker is told to stop before the window
// lets go of it, and every wait of a transfer ends on a stop, so the bound
// is only met by a worker stuck in the system. Threads are never detached.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace engine {

class WorkerThreads {
 public:
  WorkerThreads() = default;
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Runs `work` on a thread of its own; false when no thread could be
  // started.
  bool Start(std::function<void()> work);
  // Waits at most `boundMs` for every thread to end, joining each one that
  // has; true when none is left.
  bool JoinAll(int boundMs);
  // Threads started and not yet joined.
  std::size_t Count();

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;
  };
  void JoinEnded();  // with the mutex held

  std::mutex mutex_;
  std::vector<Worker> workers_;
};

// The download worker's threads of this process. The object lives until
// the process ends, so a thread still stuck at the very end is ended with
// the process rather than taking the program down with it.
WorkerThreads& DownloadThreads();

// How long the program waits at its end for the workers it has stopped.
inline constexpr int kWorkerJoinBoundMs = 5000;

}  // namespace engine
