#include "engine/container_stream.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>

#include "engine/container.h"

namespace engine {
namespace {

constexpr std::size_t kOutputBlock = 256 * 1024;
// The end of a stream (its last symbol and an end marker) takes a few
// dozen bytes; more held back would be bytes after the stream.
constexpr std::size_t kHeldInputLimit = 64 * 1024;

std::uint32_t ReadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

struct ContainerDecoder::Stream {
  lzma_stream lzma = LZMA_STREAM_INIT;
  lzma_options_lzma options{};
  std::unique_ptr<std::uint8_t[]> out{new std::uint8_t[kOutputBlock]};
  ~Stream() { lzma_end(&lzma); }
};

ContainerDecoder::ContainerDecoder(std::int32_t size) : size_(size) {}

ContainerDecoder::~ContainerDecoder() = default;

// The checks of Unpack, on the 18 bytes before the stream.
bool ContainerDecoder::Start() {
  if (std::memcmp(header_, "LZMA\0", 5) != 0) return false;
  const std::uint8_t* header = header_ + 5;
  if (ReadLe32(header + 9) != 0 || size_ < 0 || ReadLe32(header + 5) != static_cast<std::uint32_t>(size_))
    return false;
  unsigned properties = header[0];
  if (properties >= 225) return false;
  auto stream = std::make_unique<Stream>();
  lzma_options_lzma& options = stream->options;
  options.lc = properties % 9;
  options.lp = (properties / 9) % 5;
  options.pb = properties / 45;
  if (options.lc + options.lp > LZMA_LCLP_MAX) return false;
  // Matches never reach further back than the file is long, so the
  // dictionary needs no more than the listed size, whatever the header says.
  std::uint32_t stated = ReadLe32(header + 1);
  std::uint32_t limit = std::max<std::uint32_t>(static_cast<std::uint32_t>(size_), LZMA_DICT_SIZE_MIN);
  options.dict_size = std::clamp<std::uint32_t>(stated, LZMA_DICT_SIZE_MIN, limit);
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  options.ext_size_low = static_cast<std::uint32_t>(size_);
  options.ext_size_high = 0;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_raw_decoder(&stream->lzma, filters) != LZMA_OK) return false;
  stream_ = std::move(stream);
  return true;
}

bool ContainerDecoder::Decode(const std::uint8_t* data, std::size_t length, bool finish, const Output& out) {
  lzma_stream& lzma = stream_->lzma;
  lzma.next_in = data;
  lzma.avail_in = length;
  const std::uint64_t size = static_cast<std::uint64_t>(size_);
  for (;;) {
    // Until the end, the last byte of the file stays undecoded: what
    // follows it (an end marker, or nothing) is then decoded in one call
    // with all of its bytes at hand, as when the whole body is decoded at
    // once. (liblzma 5.4 loses track of an end marker whose bytes come in
    // two calls.)
    std::uint64_t room = finish ? size - decoded_ : (size > decoded_ + 1 ? size - decoded_ - 1 : 0);
    std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(room, kOutputBlock));
    if (!finish && block == 0) {
      // Held for the end; what lies beyond the stream's end is never read.
      std::size_t keep = std::min(lzma.avail_in, kHeldInputLimit - std::min(held_.size(), kHeldInputLimit));
      held_.insert(held_.end(), lzma.next_in, lzma.next_in + keep);
      return true;
    }
    lzma.next_out = stream_->out.get();
    lzma.avail_out = std::max<std::size_t>(block, finish ? 1 : 0);
    std::size_t offered = lzma.avail_out;
    lzma_ret rc = lzma_code(&lzma, finish ? LZMA_FINISH : LZMA_RUN);
    std::size_t produced = offered - lzma.avail_out;
    decoded_ += produced;
    if (decoded_ > size) return false;
    if (produced > 0 && !out(stream_->out.get(), produced)) return false;
    if (rc == LZMA_STREAM_END) {
      ended_ = true;
      return true;
    }
    if (rc != LZMA_OK) return false;
    // More to do while output keeps coming or input is left. At the end,
    // liblzma itself reports a second call without progress as an error.
    if (!finish && lzma.avail_in == 0 && produced < block) return true;
  }
}

bool ContainerDecoder::Feed(const std::uint8_t* data, std::size_t length, const Output& out) {
  if (broken_) return false;
  if (ended_ || length == 0) return true;
  if (!stream_) {
    std::size_t take = std::min(length, sizeof header_ - headerBytes_);
    std::memcpy(header_ + headerBytes_, data, take);
    headerBytes_ += take;
    data += take;
    length -= take;
    if (headerBytes_ < sizeof header_) return true;
    if (!Start()) {
      broken_ = true;
      return false;
    }
    if (length == 0) return true;
  }
  if (!held_.empty()) {
    // Only the end is left to decode; keep its bytes for Finish.
    std::size_t keep = std::min(length, kHeldInputLimit - std::min(held_.size(), kHeldInputLimit));
    held_.insert(held_.end(), data, data + keep);
    return true;
  }
  if (!Decode(data, length, false, out)) broken_ = true;
  return !broken_;
}

bool ContainerDecoder::Finish(const Output& out) {
  if (broken_ || !stream_) return false;
  if (!ended_ && !Decode(held_.data(), held_.size(), true, out)) broken_ = true;
  return !broken_ && ended_ && decoded_ == static_cast<std::uint64_t>(size_);
}

}  // namespace engine
