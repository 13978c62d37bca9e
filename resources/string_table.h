// The built-in string table: US English texts of the windows by string id.
// A language file of the main application may replace any of them. The
// build makes it from builtin_strings.txt, as it makes the Windows string
// resource, so both always hold the same texts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace resources {

struct BuiltinString {
  std::uint32_t id;
  const char* text;
};

extern const BuiltinString kBuiltinStrings[];
extern const std::size_t kBuiltinStringCount;

}  // namespace resources
