// Decodes a body sent with "Transfer-Encoding: chunked": chunks of a
// hexadecimal size line (extensions after ";" ignored), that many bytes and
// CR LF, then a chunk of size 0, trailer lines (skipped) and an empty line.
// Bytes may be fed in pieces of any size as they arrive; the body's bytes
// are handed on as views into the input, so nothing is copied or held here.
// Line ends are CR LF exactly: anything else is a broken body, as is a size
// without digits or too large for 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace engine {

class ChunkedDecoder {
 public:
  enum class State { kMore, kComplete, kBroken };
  using BodySink = std::function<void(const std::uint8_t* data, std::size_t size)>;

  // Consumes `data` up to the end of the chunked body (bytes after it are
  // left) or up to the fault that breaks it; returns how many bytes were
  // consumed. Body bytes go to `body` in order.
  std::size_t Feed(const std::uint8_t* data, std::size_t size, const BodySink& body);
  State state() const;

 private:
  enum class Step { kSize, kExtension, kSizeLf, kData, kDataCr, kDataLf, kTrailerStart, kTrailer, kTrailerLf, kEndLf,
                    kDone, kBroken };
  Step step_ = Step::kSize;
  std::uint64_t remaining_ = 0;  // size being read, then data bytes still due
  bool sizeHasDigits_ = false;
};

}  // namespace engine
