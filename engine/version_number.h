// Version numbers: four parts a.b.c.d packed into a signed 64-bit integer as
// a << 48 | b << 32 | c << 16 | d. Each part is a signed 32-bit value widened
// with its sign and OR-ed in without masking, so a part above 65535 spills
// into the next higher part and a negative part sets every bit above its
// place; numbers compare as signed integers. 0 means "no version".
#pragma once

#include <cstdint>

namespace engine {

using VersionNumber = std::int64_t;

// ORs `part` into `number` at bit position `shift` (48, 32, 16 or 0).
constexpr VersionNumber OrVersionPart(VersionNumber number, std::int32_t part, int shift) {
  // Shift as unsigned: the bit pattern is what counts, and shifting a
  // negative signed value left is not defined before C++20 everywhere.
  std::uint64_t widened = static_cast<std::uint64_t>(static_cast<std::int64_t>(part));
  return static_cast<VersionNumber>(static_cast<std::uint64_t>(number) | (widened << shift));
}

constexpr VersionNumber PackVersion(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
  return OrVersionPart(OrVersionPart(OrVersionPart(OrVersionPart(0, a, 48), b, 32), c, 16), d, 0);
}

}  // namespace engine
