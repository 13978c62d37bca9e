#include "engine/block_pipe.h"

#include <algorithm>
#include <system_error>

namespace engine {

BlockPipe::~BlockPipe() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    due_.clear();
  }
  changed_.notify_all();
  thread_.join();
}

void BlockPipe::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ending_ || !due_.empty(); });
    if (ending_) return;
    std::vector<std::uint8_t> block = std::move(due_.front());
    due_.erase(due_.begin());
    busy_ = true;
    lock.unlock();
    if (!failed_ && !consumer_(block.data(), block.size())) failed_ = true;
    block.clear();
    lock.lock();
    busy_ = false;
    free_.push_back(std::move(block));
    changed_.notify_all();
  }
}

void BlockPipe::Hand(std::vector<std::uint8_t>&& block) {
  // The thread starts with the first full block: a small file is written
  // in place, without one.
  if (!thread_.joinable() && !inPlace_) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      inPlace_ = true;
    }
  }
  if (inPlace_) {
    if (!failed_ && !consumer_(block.data(), block.size())) failed_ = true;
    block.clear();
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  // At most kBlocks blocks exist: wait for one to come back.
  changed_.wait(lock, [this] { return due_.size() + (busy_ ? 1 : 0) < kBlocks - 1; });
  due_.push_back(std::move(block));
  block = {};
  if (!free_.empty()) {
    block = std::move(free_.back());
    free_.pop_back();
  }
  changed_.notify_all();
}

bool BlockPipe::Put(const std::uint8_t* data, std::size_t size) {
  while (size > 0 && !failed_) {
    if (inPlace_) {
      if (!consumer_(data, size)) failed_ = true;
      break;
    }
    std::size_t take = std::min(size, kBlockBytes - filling_.size());
    filling_.insert(filling_.end(), data, data + take);
    data += take;
    size -= take;
    if (filling_.size() == kBlockBytes) Hand(std::move(filling_));
  }
  return !failed_;
}

bool BlockPipe::Drain() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return due_.empty() && !busy_; });
  }
  // The part block goes last, from here.
  if (!filling_.empty() && !failed_ && !consumer_(filling_.data(), filling_.size())) failed_ = true;
  filling_.clear();
  return !failed_;
}

}  // namespace engine
