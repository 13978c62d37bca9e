// The chunked body decoder: fed whole or in pieces, it must reach the same
// state with the same body, never read past its input, and never give out
// more body bytes than it was fed.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/chunked_decoder.h"

namespace {

struct Outcome {
  engine::ChunkedDecoder::State state;
  std::string body;
  std::size_t consumed = 0;
};

Outcome Decode(const std::uint8_t* data, std::size_t size, std::size_t piece) {
  engine::ChunkedDecoder decoder;
  Outcome out;
  auto sink = [&](const std::uint8_t* d, std::size_t n) {
    if (d < data || d + n > data + size) std::abort();
    out.body.append(reinterpret_cast<const char*>(d), n);
  };
  for (std::size_t at = 0; at < size;) {
    std::size_t n = std::min(piece, size - at);
    std::size_t used = decoder.Feed(data + at, n, sink);
    if (used > n) std::abort();
    out.consumed += used;
    if (used < n) break;  // complete or broken: the rest is not taken
    at += n;
  }
  out.state = decoder.state();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Outcome whole = Decode(data, size, size == 0 ? 1 : size);
  std::size_t piece = size == 0 ? 1 : 1 + data[0] % 7;
  Outcome pieces = Decode(data, size, piece);
  if (whole.state != pieces.state || whole.body != pieces.body) std::abort();
  if (whole.body.size() > size) std::abort();
  if (whole.state == engine::ChunkedDecoder::State::kMore && whole.consumed != size) std::abort();
  return 0;
}
