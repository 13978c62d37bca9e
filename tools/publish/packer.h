// Packing update files into the container the updater unpacks: "LZMA", a
// zero byte, the 13-byte .lzma header with the uncompressed size stated, and
// the LZMA1 stream. Deterministic: the same bytes and options give the same
// container.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace publish {

struct PackOptions {
  std::uint32_t preset = 6;      // 0 (fastest) to 9 (smallest), as xz's -0 .. -9
  bool endMarker = false;        // also end the stream with an end-of-payload marker
};

// The container of `data`; empty optional when the encoder fails or the
// data is larger than a container can state (4 GiB - 1).
std::optional<std::string> PackContainer(std::string_view data, const PackOptions& options = {});

}  // namespace publish
