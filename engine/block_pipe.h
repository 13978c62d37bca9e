// Bytes handed to consumers on threads of their own, so that a transfer can
// go on receiving and decoding while its bytes are written and digested,
// each on its own core. Put copies the bytes into one of a few blocks of
// 1 MiB and returns at once, unless every block still waits for a consumer.
// Every consumer sees every byte, in order, on its own thread. Fewer bytes
// than a block, or bytes put when no thread can be had, go to the consumers
// in place, in the order they were given.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace engine {

class BlockPipe {
 public:
  // False from a consumer ends the pipe as failed: later bytes are dropped
  // and Put and Drain say so.
  using Consumer = std::function<bool(const std::uint8_t* data, std::size_t size)>;

  explicit BlockPipe(std::vector<Consumer> consumers);
  // Bytes not yet consumed are dropped.
  ~BlockPipe();
  BlockPipe(const BlockPipe&) = delete;
  BlockPipe& operator=(const BlockPipe&) = delete;

  bool Put(const std::uint8_t* data, std::size_t size);
  // Waits until every consumer has had every byte put so far; false when
  // one has failed.
  bool Drain();

 private:
  static constexpr std::size_t kBlockBytes = 1u << 20;
  static constexpr std::size_t kBlocksInFlight = 3;
  struct Block {
    std::vector<std::uint8_t> bytes;
    std::size_t pending = 0;  // consumers that have not had it yet
  };
  void Consume(std::size_t consumer, const std::uint8_t* data, std::size_t size);
  void InPlace(const std::uint8_t* data, std::size_t size);
  void Hand();
  bool StartThreads();
  void Run(std::size_t consumer);
  void Stop();

  std::vector<Consumer> consumers_;
  std::vector<std::uint8_t> filling_;  // the block being filled, on the caller's side
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Block> due_;                       // oldest first
  std::uint64_t firstDue_ = 0;                  // number of the block at the front of due_
  std::vector<std::uint64_t> next_;             // per consumer: number of its next block
  std::vector<std::vector<std::uint8_t>> free_; // consumed blocks for reuse
  bool ending_ = false;
  bool inPlace_ = false;  // no threads could be started
  std::atomic<bool> failed_{false};
  std::vector<std::thread> threads_;
};

}  // namespace engine
