#include "engine/container.h"

#include <algorithm>
#include <cstring>

#include "engine/container_header.h"

namespace engine {
namespace {

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Ends a liblzma stream on every path.
struct StreamGuard {
  lzma_stream* stream;
  ~StreamGuard() { lzma_end(stream); }
};

}  // namespace

bool IsPlainBody(std::int32_t bodyLength, std::int32_t size) { return bodyLength == size; }

bool ContainerStreamOptions(const std::uint8_t* container, std::int32_t size, lzma_options_lzma& options) {
  if (std::memcmp(container, "LZMA\0", 5) != 0) return false;
  const std::uint8_t* header = container + 5;
  if (ReadLe32(header + 9) != 0 || size < 0 || ReadLe32(header + 5) != static_cast<std::uint32_t>(size))
    return false;
  unsigned properties = header[0];
  if (properties >= 225) return false;
  options = lzma_options_lzma{};
  options.lc = properties % 9;
  options.lp = (properties / 9) % 5;
  options.pb = properties / 45;
  if (options.lc + options.lp > LZMA_LCLP_MAX) return false;
  // A stated dictionary over our bound is refused, not shrunk: the stream
  // may well need it. Below it, matches never reach further back than the
  // file is long, so the dictionary needs no more than the listed size.
  std::uint32_t stated = ReadLe32(header + 1);
  if (stated > kMaxDictionaryBytes) return false;
  std::uint32_t limit = std::max<std::uint32_t>(static_cast<std::uint32_t>(size), LZMA_DICT_SIZE_MIN);
  options.dict_size = std::clamp<std::uint32_t>(stated, LZMA_DICT_SIZE_MIN, limit);
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  options.ext_size_low = static_cast<std::uint32_t>(size);
  options.ext_size_high = 0;
  return true;
}

std::optional<ByteBuffer> Unpack(const std::uint8_t* body, std::int32_t bodyLength, std::int32_t size) {
  if (!body || bodyLength < static_cast<std::int32_t>(kContainerHeaderSize)) return std::nullopt;
  lzma_options_lzma options;
  if (!ContainerStreamOptions(body, size, options)) return std::nullopt;

  // Decoding must fill every byte for the result to count, so the buffer
  // need not be cleared first.
  ByteBuffer out = ByteBuffer::Uninitialized(static_cast<std::size_t>(size));
  if (size > 0 && out.size() != static_cast<std::size_t>(size)) return std::nullopt;

  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) return std::nullopt;
  StreamGuard guard{&stream};
  stream.next_in = body + kContainerHeaderSize;
  stream.avail_in = static_cast<std::size_t>(bodyLength) - kContainerHeaderSize;
  stream.next_out = out.data();
  stream.avail_out = out.size();
  lzma_ret rc = lzma_code(&stream, LZMA_FINISH);
  // The stream must deliver exactly the listed size; input that ends early,
  // or damaged data, fails.
  if (rc != LZMA_STREAM_END || stream.avail_out != 0) return std::nullopt;
  return out;
}

}  // namespace engine
