// The update list document: the parser with item selection, on any bytes.
// Installed versions come from the input's own first bytes, so both
// selection outcomes are reached.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/update_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  engine::VersionNumber installed = 0;
  if (size >= 8) {
    std::memcpy(&installed, data, 8);
    data += 8;
    size -= 8;
  }
  engine::UpdateList target(engine::ListContext{"http://127.0.0.1/tlv5.update/", "/nonexistent/app/",
                                                [installed](const std::string&) { return installed; }});
  std::string_view document(reinterpret_cast<const char*>(data), size);
  auto parsed = engine::ParseListDocument(document, target);
  std::int64_t total = 0;
  bool inRange = true;  // the list saturates its total; compare only while no partial sum left 32 bits
  for (const auto& item : target.items) {
    // Every kept item names a file below the application folder, within
    // the address limit, and is newer than what is installed.
    if (item->url.size() > engine::kMaxUrlLength || item->version <= installed) std::abort();
    std::string_view relative = std::string_view(item->url).substr(std::strlen("http://127.0.0.1/tlv5.update/dvd/"));
    if (!engine::IsSafeRelativePath(relative)) std::abort();
    total += item->size;
    if (total < INT32_MIN || total > INT32_MAX) inRange = false;
  }
  if (parsed.outcome == engine::ListOutcome::kItemsSelected && target.items.empty()) std::abort();
  if (inRange && total != target.bytesTotal) std::abort();
  return 0;
}
