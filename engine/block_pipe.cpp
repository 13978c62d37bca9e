#include "engine/block_pipe.h"

#include <algorithm>
#include <system_error>

namespace engine {

BlockPipe::BlockPipe(std::vector<Consumer> consumers)
    : consumers_(std::move(consumers)), next_(consumers_.size(), 0) {}

BlockPipe::~BlockPipe() { Stop(); }

void BlockPipe::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void BlockPipe::Consume(std::size_t consumer, const std::uint8_t* data, std::size_t size) {
  if (!failed_ && !consumers_[consumer](data, size)) failed_ = true;
}

void BlockPipe::InPlace(const std::uint8_t* data, std::size_t size) {
  for (std::size_t c = 0; c < consumers_.size(); ++c) Consume(c, data, size);
}

void BlockPipe::Run(std::size_t consumer) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return ending_ || next_[consumer] < firstDue_ + due_.size(); });
    if (ending_) return;
    // Blocks behind the front stay where they are while others are added.
    Block& block = due_[next_[consumer] - firstDue_];
    lock.unlock();
    Consume(consumer, block.bytes.data(), block.bytes.size());
    lock.lock();
    ++next_[consumer];
    --block.pending;
    while (!due_.empty() && due_.front().pending == 0) {
      due_.front().bytes.clear();
      free_.push_back(std::move(due_.front().bytes));
      due_.pop_front();
      ++firstDue_;
    }
    changed_.notify_all();
  }
}

bool BlockPipe::StartThreads() {
  try {
    for (std::size_t c = 0; c < consumers_.size(); ++c) threads_.emplace_back([this, c] { Run(c); });
    return true;
  } catch (const std::system_error&) {
    Stop();
    ending_ = false;
    return false;
  }
}

void BlockPipe::Hand() {
  // The threads start with the first full block: a small file is handled
  // in place, without them.
  if (threads_.empty() && !inPlace_) inPlace_ = !StartThreads();
  if (inPlace_) {
    InPlace(filling_.data(), filling_.size());
    filling_.clear();
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return due_.size() < kBlocksInFlight; });
  due_.push_back(Block{std::move(filling_), consumers_.size()});
  filling_ = {};
  if (!free_.empty()) {
    filling_ = std::move(free_.back());
    free_.pop_back();
  }
  changed_.notify_all();
}

bool BlockPipe::Put(const std::uint8_t* data, std::size_t size) {
  while (size > 0 && !failed_) {
    if (inPlace_) {
      InPlace(data, size);
      break;
    }
    std::size_t take = std::min(size, kBlockBytes - filling_.size());
    filling_.insert(filling_.end(), data, data + take);
    data += take;
    size -= take;
    if (filling_.size() == kBlockBytes) Hand();
  }
  return !failed_;
}

bool BlockPipe::Drain() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return due_.empty(); });
  }
  // The part block goes last, from here.
  InPlace(filling_.data(), filling_.size());
  filling_.clear();
  return !failed_;
}

}  // namespace engine
