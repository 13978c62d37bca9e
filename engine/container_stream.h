// A packed update file decoded as its bytes arrive, for the staging of
// files of any size without holding them in memory. It takes and refuses
// exactly what Unpack (container.h) takes and refuses, whatever pieces the
// body comes in: the same header checks, the same dictionary (the stated
// one, at least 4 KiB, at most kMaxDictionaryBytes, never larger than the
// listed size), exactly the listed size out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace engine {

class ContainerDecoder {
 public:
  // Receives the decoded bytes in order; returning false stops the
  // decoding as failed (a write that failed).
  using Output = std::function<bool(const std::uint8_t* data, std::size_t length)>;

  // For a file listed with `size` bytes.
  explicit ContainerDecoder(std::int32_t size);
  ~ContainerDecoder();
  ContainerDecoder(const ContainerDecoder&) = delete;
  ContainerDecoder& operator=(const ContainerDecoder&) = delete;

  // The next bytes of the body. False once the body cannot be a container
  // of the listed size (bytes after the end of the stream are ignored).
  bool Feed(const std::uint8_t* data, std::size_t length, const Output& out);
  // The body has ended: true when its stream is complete and gave exactly
  // the listed size.
  bool Finish(const Output& out);

  std::uint64_t decodedBytes() const { return decoded_; }

 private:
  struct Stream;
  bool Start();
  bool Decode(const std::uint8_t* data, std::size_t length, bool finish, const Output& out);

  std::int32_t size_;
  std::uint8_t header_[18] = {};
  std::size_t headerBytes_ = 0;
  std::unique_ptr<Stream> stream_;
  std::vector<std::uint8_t> held_;  // the input after the last byte but one
  bool broken_ = false;
  bool ended_ = false;
  std::uint64_t decoded_ = 0;
};

}  // namespace engine
