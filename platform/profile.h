// Profile (INI) files: one value read or written at a time, with the rules of
// the Windows profile functions: section and key names match without regard
// to letter case, a missing file reads as an empty one, and writing creates
// the file and the section as needed. The text form is parsed by the portable
// functions below so that every platform reads it alike.
//
// The form: lines end with LF or CR LF; "[name]" starts a section; a line
// "key=value" sets a key; blanks and tabs around names and values are
// dropped; a value wrapped in a pair of matching quotes loses them; lines
// starting with ";" are comments. The first section of a name and the first
// key of a name in it win. A file in UTF-16 LE with its byte-order mark is
// converted to 8-bit text first.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Largest profile file that is read; a larger one reads as empty and is
// never rewritten.
inline constexpr std::size_t kMaxProfileFileBytes = 1 << 20;

// The value of `key` in `section` of the profile text, if present.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);
// The profile text with `key` in `section` set to `value`; other lines stay
// as they were.
std::string SetProfileValue(std::string_view text, std::string_view section,
                            std::string_view key, std::string_view value);

// Reads `key` of `section` from the file at `path`: the value, cut to
// `bufferSize` - 1 characters and at the first zero byte, or `fallback`.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback,
                              std::size_t bufferSize);
// Writes `key` = `value` into `section` of the file at `path`. The file is
// replaced as a whole, so a crash never leaves it half written.
bool WriteProfileString(const std::string& path, std::string_view section,
                        std::string_view key, std::string_view value);

}  // namespace platform
