#include "platform/resources.h"

#include "resources/string_table.h"

namespace platform {

std::optional<std::string> LoadBuiltinString(std::uint32_t id, std::size_t bufferSize) {
  for (std::size_t i = 0; i < resources::kBuiltinStringCount; ++i) {
    const resources::BuiltinString& s = resources::kBuiltinStrings[i];
    if (s.id != id) continue;
    std::string text = s.text;
    if (bufferSize == 0) return std::string();
    if (text.size() > bufferSize - 1) text.resize(bufferSize - 1);
    return text;
  }
  return std::nullopt;
}

}  // namespace platform
