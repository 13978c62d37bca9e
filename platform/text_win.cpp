#include "platform/text.h"

#include <windows.h>

namespace platform {
namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

const wchar_t* Wide(std::u16string_view text) { return reinterpret_cast<const wchar_t*>(text.data()); }

}  // namespace

std::string Utf16ToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  // Character by character, so that one the code page lacks, or a broken
  // surrogate, becomes exactly one "?" (never a near look-alike).
  for (std::size_t i = 0; i < text.size();) {
    std::size_t units = 1;
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) units = 2;
    bool broken = units == 1 && (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i]));
    char bytes[8];
    BOOL usedDefault = FALSE;
    int n = broken ? 0
                   : WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, Wide(text.substr(i)), static_cast<int>(units),
                                         bytes, sizeof bytes, nullptr, &usedDefault);
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
  if (remaining >= 2 && IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(text[0]))) return 2;
  return 1;
}

}  // namespace platform
