// The version resource of our own executables: a standard VS_VERSIONINFO
// block (fixed file information, one US English / Unicode string table and
// the matching translation), byte for byte as a resource compiler lays it
// out. On Linux the build puts these bytes into an ELF section of each
// executable, named kVersionSectionName, where version probing finds them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace resources {

inline constexpr char kVersionSectionName[] = ".harbinor_version";

inline constexpr char kCompanyName[] = "Quorva";
inline constexpr char kProductName[] = "Tolvaro";

// The four parts a.b.c.d of a file and product version.
using VersionParts = std::array<std::uint16_t, 4>;

// The VS_VERSIONINFO bytes for an executable of `version`, described by
// `fileDescription` (7-bit ASCII). FileVersion and ProductVersion are
// written "a.b.c.d".
std::string BuildVersionInfo(const VersionParts& version, std::string_view fileDescription);

}  // namespace resources
