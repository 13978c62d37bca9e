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

}  // namespace platform
