#include "tools/publish/packer.h"

#include <lzma.h>

#include <algorithm>

namespace publish {

std::optional<std::string> PackContainer(std::string_view data, const PackOptions& options) {
  if (data.size() > UINT32_MAX) return std::nullopt;
  lzma_options_lzma lzma{};
  if (lzma_lzma_preset(&lzma, options.preset)) return std::nullopt;
  // No dictionary larger than the file: it could not be used, and the
  // header tells decoders how much to reserve.
  lzma.dict_size = std::clamp<std::uint32_t>(static_cast<std::uint32_t>(data.size()), LZMA_DICT_SIZE_MIN,
                                             lzma.dict_size);
  lzma.ext_flags = options.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};

  std::string out("LZMA\0", 5);
  out.push_back(static_cast<char>((lzma.pb * 5 + lzma.lp) * 9 + lzma.lc));
  auto put32 = [&out](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  put32(lzma.dict_size);
  put32(static_cast<std::uint32_t>(data.size()));
  put32(0);

  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&stream, filters) != LZMA_OK) return std::nullopt;
  std::size_t header = out.size();
  out.resize(header + data.size() + data.size() / 2 + 4096);
  stream.next_in = reinterpret_cast<const std::uint8_t*>(data.data());
  stream.avail_in = data.size();
  stream.next_out = reinterpret_cast<std::uint8_t*>(out.data()) + header;
  stream.avail_out = out.size() - header;
  lzma_ret rc = lzma_code(&stream, LZMA_FINISH);
  std::size_t written = out.size() - header - stream.avail_out;
  lzma_end(&stream);
  if (rc != LZMA_STREAM_END) return std::nullopt;
  out.resize(header + written);
  return out;
}

}  // namespace publish
