// Resources: the program's own built-in string table, and the version
// resource of any executable file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The built-in text for a string id, cut to `bufferSize` - 1 characters as a
// string load into a buffer of that size would; empty when the table lacks
// the id.
std::optional<std::string> LoadBuiltinString(std::uint32_t id, std::size_t bufferSize);

// The raw bytes (a VS_VERSIONINFO block) of the first version resource of
// the executable at `path`: read from the resource directory of a PE image,
// or from the version section that our own ELF executables carry. Empty when
// the file is missing, is not such an executable, or has no version
// resource. The file's code is never run.
std::optional<std::string> ReadVersionResource(const std::string& path);

}  // namespace platform
