// Locating the body of a response, for file and list requests.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (bool list : {false, true}) {
    auto at = engine::LocateBody(data, size, list);
    if (!at) continue;
    if (*at > size) std::abort();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (list && text.substr(*at, engine::kListMarker.size()) != engine::kListMarker) std::abort();
    if (!list && (*at < 4 || text.substr(*at - 4, 4) != "\r\n\r\n")) std::abort();
  }
  return 0;
}
