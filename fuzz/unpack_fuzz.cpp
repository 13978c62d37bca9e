// Containers from the network: the plain-or-packed rule and Unpack on any
// bytes, and the decoder that takes a body piece by piece, which must take
// and refuse the same bodies and give the same bytes as Unpack. The first
// four input bytes give the listed size (kept below 1 MiB so memory stays
// bounded) and the sizes of the pieces; the rest is the received body.
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/container.h"
#include "engine/container_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t listed;
  std::memcpy(&listed, data, 4);
  std::int32_t listedSize = static_cast<std::int32_t>(listed % (1u << 20));
  const std::uint8_t* body = data + 4;
  std::int32_t bodyLength = static_cast<std::int32_t>(size - 4);
  if (engine::IsPlainBody(bodyLength, listedSize)) {
    if (bodyLength != listedSize) std::abort();
    return 0;
  }
  auto out = engine::Unpack(body, bodyLength, listedSize);
  if (out && out->size() != static_cast<std::size_t>(listedSize)) std::abort();

  // The same body in pieces of 1 to 64 bytes (from the size's top bits).
  engine::ContainerDecoder decoder(listedSize);
  std::vector<std::uint8_t> streamed;
  auto collect = [&](const std::uint8_t* bytes, std::size_t length) {
    streamed.insert(streamed.end(), bytes, bytes + length);
    return true;
  };
  std::size_t piece = 1 + (listed >> 26);
  bool fed = true;
  for (std::size_t at = 0; fed && at < static_cast<std::size_t>(bodyLength); at += piece)
    fed = decoder.Feed(body + at, std::min(piece, static_cast<std::size_t>(bodyLength) - at), collect);
  bool accepted = fed && decoder.Finish(collect);
  if (accepted != out.has_value()) std::abort();
  // An empty file's container gives no bytes (and no buffer to compare).
  if (accepted && (streamed.size() != out->size() ||
                   (out->size() > 0 && std::memcmp(streamed.data(), out->data(), out->size()) != 0)))
    std::abort();
  return 0;
}
