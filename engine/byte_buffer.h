// A growable byte array for responses and unpacked files. When an append
// does not fit, the storage grows to size + max(size, n) bytes (exactly n for
// an empty buffer), so n bytes appended in small pieces cost O(log n)
// reallocations. Emptying keeps the storage; releasing gives it back.
// Running out of memory is a failed append, never an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace engine {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&&) noexcept = default;
  ByteBuffer& operator=(ByteBuffer&&) noexcept = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // A buffer holding `size` zero bytes; empty (size 0) when the memory
  // cannot be had.
  static ByteBuffer Zeroed(std::size_t size);
  // A buffer of `size` bytes whose contents are left as they come, for a
  // caller that overwrites every byte; empty when the memory cannot be had.
  static ByteBuffer Uninitialized(std::size_t size);

  bool Append(const void* data, std::size_t size);
  // Makes room for `capacity` bytes in all, so that appends up to it never
  // reallocate; false when the memory cannot be had (the buffer is kept).
  bool Reserve(std::size_t capacity);
  void Clear() { size_ = 0; }
  void Release() {
    storage_.reset();
    size_ = capacity_ = 0;
  }
  void Swap(ByteBuffer& other) noexcept;

  std::uint8_t* data() { return storage_.get(); }
  const std::uint8_t* data() const { return storage_.get(); }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }

 private:
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace engine
