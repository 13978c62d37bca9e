#include "engine/container_stream.h"

#include <algorithm>
#include <cstring>

#include "engine/container_header.h"

namespace engine {
namespace {

constexpr std::size_t kOutputBlock = 256 * 1024;
// The end of a stream (its last symbol and an end marker) takes a few
// dozen bytes; more held back would be bytes after the stream.
constexpr std::size_t kHeldInputLimit = 64 * 1024;

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
  auto stream = std::make_unique<Stream>();
  if (!ContainerStreamOptions(header_, size_, stream->options)) return false;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &stream->options}, {LZMA_VLI_UNKNOWN, nullptr}};
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
