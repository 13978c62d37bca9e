// The built-in string table: US English texts of the windows by string id.
// A language file of the main application may replace any of them.
#pragma once

#include <cstdint>

namespace resources {

struct BuiltinString {
  std::uint32_t id;
  const char* text;
};

extern const BuiltinString kBuiltinStrings[32];

}  // namespace resources
