// The program's own resources: the built-in string table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The built-in text for a string id, cut to `bufferSize` - 1 characters as a
// string load into a buffer of that size would; empty when the table lacks
// the id.
std::optional<std::string> LoadBuiltinString(std::uint32_t id, std::size_t bufferSize);

}  // namespace platform
