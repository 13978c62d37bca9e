// Bytes handed to a consumer on a thread of its own, so that a transfer can
// go on receiving and decoding while its bytes are written and digested.
// Put copies the bytes into one of a few blocks of 1 MiB and returns at
// once, unless every block still waits for the consumer. Fewer bytes than a
// block, or bytes put when no thread can be had, go to the consumer in
// place. The consumer sees the bytes in order and in one thread at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace engine {

class BlockPipe {
 public:
  // False from the consumer ends the pipe as failed: later bytes are
  // dropped and Put and Drain say so.
  using Consumer = std::function<bool(const std::uint8_t* data, std::size_t size)>;

  explicit BlockPipe(Consumer consumer) : consumer_(std::move(consumer)) {}
  // Bytes not yet consumed are dropped.
  ~BlockPipe();
  BlockPipe(const BlockPipe&) = delete;
  BlockPipe& operator=(const BlockPipe&) = delete;

  bool Put(const std::uint8_t* data, std::size_t size);
  // Waits until every byte put so far has been consumed; false when the
  // consumer has failed.
  bool Drain();

 private:
  static constexpr std::size_t kBlockBytes = 1u << 20;
  static constexpr std::size_t kBlocks = 4;
  void Hand(std::vector<std::uint8_t>&& block);
  void Run();

  Consumer consumer_;
  std::vector<std::uint8_t> filling_;  // the block being filled, on the caller's side
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<std::uint8_t>> due_;   // full blocks, oldest first
  std::vector<std::vector<std::uint8_t>> free_;  // consumed blocks for reuse
  bool busy_ = false;                            // the thread is consuming a block
  bool ending_ = false;
  bool inPlace_ = false;  // no thread could be started
  std::atomic<bool> failed_{false};
  std::thread thread_;
};

}  // namespace engine
