#include "platform/text.h"

#include <windows.h>

#include <algorithm>

namespace platform {
namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

const wchar_t* Wide(std::u16string_view text) { return reinterpret_cast<const wchar_t*>(text.data()); }

}  // namespace

std::string Utf16ToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  // A system set to the UTF-8 code page holds every character; the
  // conversion refuses the look-alike flag and the default-character report
  // for it.
  const UINT codePage = GetACP();
  const bool utf8 = codePage == CP_UTF8;
  // Character by character, so that one the code page lacks, or a broken
  // surrogate, becomes exactly one "?" (never a near look-alike).
  for (std::size_t i = 0; i < text.size();) {
    std::size_t units = 1;
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) units = 2;
    bool broken = units == 1 && (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i]));
    char bytes[8];
    BOOL usedDefault = FALSE;
    int n = broken ? 0
                   : WideCharToMultiByte(codePage, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, Wide(text.substr(i)),
                                         static_cast<int>(units), bytes, sizeof bytes, nullptr,
                                         utf8 ? nullptr : &usedDefault);
    if (n <= 0 || usedDefault) {
      out.push_back('?');
    } else {
      out.append(bytes, static_cast<std::size_t>(n));
    }
    i += units;
  }
  return out;
}

std::u16string AnsiToUtf16(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::u16string(text.size(), u'\uFFFD');
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, Wide(text), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Wide(text), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

std::size_t AnsiCharLength(const char* text, std::size_t remaining) {
  if (remaining == 0) return 0;
  // The fewest bytes that make a whole character of the code page: a lead
  // and a trail byte, or up to four where the code page is UTF-8 (which has
  // no lead bytes to ask for). An invalid or cut character is one byte.
  CPINFO info;
  std::size_t longest = std::min<std::size_t>(GetCPInfo(CP_ACP, &info) ? info.MaxCharSize : 2, remaining);
  for (std::size_t n = 1; n <= longest; ++n) {
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(n), nullptr, 0) > 0) return n;
  }
  return 1;
}

namespace {

// Terminal columns of a code point, as wcwidth gives them where the C
// library has it: the combining marks take none, the East Asian wide and
// full-width ranges two.
int CodePointCells(std::uint32_t u) {
  struct Range {
    std::uint32_t first, last;
  };
  static const Range kCombining[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
                                     {0x064B, 0x065F}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x1AB0, 0x1AFF},
                                     {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
                                     {0xFE20, 0xFE2F}};
  static const Range kWide[] = {{0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
                                {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
                                {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
                                {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
  for (const Range& r : kCombining)
    if (u >= r.first && u <= r.last) return 0;
  for (const Range& r : kWide)
    if (u >= r.first && u <= r.last) return 2;
  return 1;
}

}  // namespace

AnsiChar InspectAnsiChar(const char* text, std::size_t remaining) {
  AnsiChar c;
  unsigned char first = static_cast<unsigned char>(text[0]);
  c.length = AnsiCharLength(text, remaining);
  wchar_t units[4];
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(c.length), units, 4);
  if (n <= 0) {
    c.length = 1;
    c.valid = false;
    c.code = first;
    return c;
  }
  c.code = static_cast<std::uint32_t>(units[0]);
  if (n == 2 && IsHighSurrogate(static_cast<char16_t>(units[0])) && IsLowSurrogate(static_cast<char16_t>(units[1])))
    c.code = 0x10000 + ((c.code - 0xD800) << 10) + (static_cast<std::uint32_t>(units[1]) - 0xDC00);
  c.control = c.code < 0x20 || (c.code >= 0x7f && c.code < 0xa0);
  c.cells = c.control ? 0 : CodePointCells(c.code);
  return c;
}

}  // namespace platform
