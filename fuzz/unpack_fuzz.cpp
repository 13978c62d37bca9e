// Containers from the network: the plain-or-packed rule and Unpack on any
// bytes. The first four input bytes give the listed size (kept below 1 MiB
// so memory stays bounded); the rest is the received body.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/container.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t listed;
  std::memcpy(&listed, data, 4);
  std::int32_t listedSize = static_cast<std::int32_t>(listed % (1u << 20));
  const std::uint8_t* body = data + 4;
  std::int32_t bodyLength = static_cast<std::int32_t>(size - 4);
  if (engine::IsPlainBody(bodyLength, listedSize)) {
    if (listedSize != 0 && bodyLength != listedSize) std::abort();
    return 0;
  }
  auto out = engine::Unpack(body, bodyLength, listedSize);
  if (out && out->size() != static_cast<std::size_t>(listedSize)) std::abort();
  return 0;
}
