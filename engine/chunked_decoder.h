// Decodes a body sent with "Transfer-Encoding: chunked": chunks of a
// hexadecimal size line (extensions after ";" ignored), that many bytes and
// CR LF, then a chunk of size 0, trailer lines (skipped) and an empty line.
// Bytes may be fed in pieces of any size as they arrive; the body's bytes
// are handed on as views into the input, so nothing is copied or held here.
// Line ends are CR LF exactly: anything else is a broken body, as is a size
// without digits or too large for 64 bits, and a size line (with its
// extensions) or a trailer line longer than kMaxChunkLineBytes. The bytes
// that are not body (size lines, line ends, trailers) are counted, so that
// the reader of a response can bound them against the body they carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace engine {

// No server we talk to needs a longer size or trailer line; without a bound,
// endless extensions would be read forever.
inline constexpr std::size_t kMaxChunkLineBytes = 4096;

class ChunkedDecoder {
 public:
  enum class State { kMore, kComplete, kBroken };
  using BodySink = std::function<void(const std::uint8_t* data, std::size_t size)>;

  // Consumes `data` up to the end of the chunked body (bytes after it are
  // left) or up to the fault that breaks it; returns how many bytes were
  // consumed. Body bytes go to `body` in order.
  std::size_t Feed(const std::uint8_t* data, std::size_t size, const BodySink& body);
  State state() const;
  // The bytes consumed so far that were framing, not body.
  std::uint64_t framingBytes() const { return framingBytes_; }

 private:
  enum class Step { kSize, kExtension, kSizeLf, kData, kDataCr, kDataLf, kTrailerStart, kTrailer, kTrailerLf, kEndLf,
                    kDone, kBroken };
  Step step_ = Step::kSize;
  std::uint64_t remaining_ = 0;  // size being read, then data bytes still due
  bool sizeHasDigits_ = false;
  std::size_t lineBytes_ = 0;  // of the size or trailer line being read
  std::uint64_t framingBytes_ = 0;
};

}  // namespace engine
