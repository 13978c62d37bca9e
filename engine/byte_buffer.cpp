#include "engine/byte_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace engine {

ByteBuffer ByteBuffer::Zeroed(std::size_t size) {
  ByteBuffer b;
  if (size == 0) return b;
  b.storage_.reset(new (std::nothrow) std::uint8_t[size]());
  if (!b.storage_) return b;
  b.size_ = b.capacity_ = size;
  return b;
}

ByteBuffer ByteBuffer::Uninitialized(std::size_t size) {
  ByteBuffer b;
  if (size == 0) return b;
  b.storage_.reset(new (std::nothrow) std::uint8_t[size]);
  if (!b.storage_) return b;
  b.size_ = b.capacity_ = size;
  return b;
}

bool ByteBuffer::Append(const void* data, std::size_t size) {
  if (size == 0) return true;
  if (capacity_ - size_ < size) {
    std::size_t extra = std::max(size_, size);
    if (extra > SIZE_MAX - size_) return false;
    std::size_t grown = size_ + extra;
    std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[grown]);
    if (!bigger) return false;
    if (size_) std::memcpy(bigger.get(), storage_.get(), size_);
    storage_ = std::move(bigger);
    capacity_ = grown;
  }
  std::memcpy(storage_.get() + size_, data, size);
  size_ += size;
  return true;
}

bool ByteBuffer::Reserve(std::size_t capacity) {
  if (capacity <= capacity_) return true;
  std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[capacity]);
  if (!bigger) return false;
  if (size_) std::memcpy(bigger.get(), storage_.get(), size_);
  storage_ = std::move(bigger);
  capacity_ = capacity;
  return true;
}

void ByteBuffer::Swap(ByteBuffer& other) noexcept {
  std::swap(storage_, other.storage_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
}

}  // namespace engine
