#include "engine/chunked_decoder.h"

#include <algorithm>
#include <limits>

namespace engine {
namespace {

int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ChunkedDecoder::State ChunkedDecoder::state() const {
  if (step_ == Step::kDone) return State::kComplete;
  if (step_ == Step::kBroken) return State::kBroken;
  return State::kMore;
}

std::size_t ChunkedDecoder::Feed(const std::uint8_t* data, std::size_t size, const BodySink& body) {
  std::size_t i = 0, bodyBytes = 0;
  // Each step either consumes input or ends the body as broken; `expect`
  // takes one exact byte and moves on.
  auto expect = [&](std::uint8_t wanted, Step next) {
    if (data[i] != wanted) {
      step_ = Step::kBroken;
      return;
    }
    ++i;
    step_ = next;
  };
  while (i < size && step_ != Step::kDone && step_ != Step::kBroken) {
    std::uint8_t c = data[i];
    // Every byte of a size line or a trailer line counts towards its bound;
    // the LF that ends the line starts the next one afresh.
    bool inLine = step_ == Step::kSize || step_ == Step::kExtension || step_ == Step::kTrailerStart ||
                  step_ == Step::kTrailer;
    if (inLine && ++lineBytes_ > kMaxChunkLineBytes) {
      step_ = Step::kBroken;
      break;
    }
    if (step_ == Step::kSizeLf || step_ == Step::kTrailerLf) lineBytes_ = 0;
    switch (step_) {
      case Step::kSize: {
        int digit = HexValue(c);
        if (digit >= 0) {
          if (remaining_ > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
            step_ = Step::kBroken;
            break;
          }
          remaining_ = remaining_ << 4 | static_cast<std::uint64_t>(digit);
          sizeHasDigits_ = true;
          ++i;
        } else if (!sizeHasDigits_) {
          step_ = Step::kBroken;
        } else if (c == '\r') {
          expect('\r', Step::kSizeLf);
        } else if (c == ';' || c == ' ' || c == '\t') {
          ++i;
          step_ = Step::kExtension;
        } else {
          step_ = Step::kBroken;
        }
        break;
      }
      case Step::kExtension:
        if (c == '\n') {
          step_ = Step::kBroken;
          break;
        }
        ++i;
        if (c == '\r') step_ = Step::kSizeLf;
        break;
      case Step::kSizeLf:
        expect('\n', remaining_ == 0 ? Step::kTrailerStart : Step::kData);
        sizeHasDigits_ = false;
        break;
      case Step::kData: {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, size - i));
        if (body) body(data + i, n);
        i += n;
        bodyBytes += n;
        remaining_ -= n;
        if (remaining_ == 0) step_ = Step::kDataCr;
        break;
      }
      case Step::kDataCr:
        expect('\r', Step::kDataLf);
        break;
      case Step::kDataLf:
        expect('\n', Step::kSize);
        break;
      case Step::kTrailerStart:
        if (c == '\r') {
          expect('\r', Step::kEndLf);
        } else if (c == '\n') {
          step_ = Step::kBroken;
        } else {
          ++i;
          step_ = Step::kTrailer;
        }
        break;
      case Step::kTrailer:
        if (c == '\n') {
          step_ = Step::kBroken;
          break;
        }
        ++i;
        if (c == '\r') step_ = Step::kTrailerLf;
        break;
      case Step::kTrailerLf:
        expect('\n', Step::kTrailerStart);
        break;
      case Step::kEndLf:
        expect('\n', Step::kDone);
        break;
      case Step::kDone:
      case Step::kBroken:
        break;
    }
  }
  framingBytes_ += i - bodyBytes;
  return i;
}

}  // namespace engine
