// Text conversion between the 8-bit charset of the user's locale (the
// "ANSI code page") and UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Converts UTF-16 units to the locale's charset; a character the charset
// cannot hold, or a broken surrogate, becomes the replacement character "?".
std::string Utf16ToAnsi(std::u16string_view text);
// Converts 8-bit text in the locale's charset to UTF-16; a byte sequence that
// is not valid there becomes U+FFFD.
std::u16string AnsiToUtf16(std::string_view text);
// The same conversions with UTF-8 on the 8-bit side, whatever the locale;
// lossless for valid text.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// Whether `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing past U+10FFFF.
bool IsValidUtf8(std::string_view text);
// Windows-1252 (Western European, the ANSI code page of most Windows
// machines) to UTF-16; its five unassigned bytes become the C1 controls of
// the same value, as Windows itself converts them.
std::u16string Windows1252ToUtf16(std::string_view text);
// UTF-16 units from little-endian bytes; a trailing odd byte is dropped.
std::u16string Utf16FromLeBytes(std::string_view bytes);
// Length in bytes of the character that starts at `text` (1 for a
// single-byte character or an invalid byte), never more than `remaining`.
std::size_t AnsiCharLength(const char* text, std::size_t remaining);

// One character of the locale's charset as a terminal shows it.
struct AnsiChar {
  std::size_t length = 1;  // bytes, at least 1 when any remain
  int cells = 1;           // terminal columns: 0 combining, 2 wide (East Asian), else 1
  bool control = false;    // a C0 or C1 control character or DEL
  bool valid = true;       // false: a byte that starts no character of the charset
  std::uint32_t code = 0;  // the Unicode code point; the byte itself when not valid
};
// The character that starts at `text`; `remaining` must be at least 1.
AnsiChar InspectAnsiChar(const char* text, std::size_t remaining);

}  // namespace platform
