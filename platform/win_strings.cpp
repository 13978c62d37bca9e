#include "platform/win_strings.h"

#include <windows.h>

namespace platform::win {
namespace {

std::wstring ToWide(unsigned codePage, DWORD flags, std::string_view text, bool* ok) {
  *ok = true;
  if (text.empty()) return {};
  int n = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) {
    *ok = false;
    return {};
  }
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string FromWide(unsigned codePage, std::wstring_view text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring WidePath(std::string_view path) {
  // Each part between separators on its own: a path may join a folder
  // named in UTF-8 and a file name from an ANSI list.
  std::wstring wide;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    bool ok;
    std::wstring converted = ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, part, &ok);
    if (!ok) converted = ToWide(CP_ACP, 0, part, &ok);
    wide += converted;
    if (end < path.size()) wide.push_back(static_cast<wchar_t>(path[end]));
    start = end + 1;
  }
  return wide;
}

std::string NarrowPath(std::wstring_view path) { return FromWide(CP_UTF8, path); }

std::wstring WideFromAnsi(std::string_view text) {
  bool ok;
  return ToWide(CP_ACP, 0, text, &ok);
}

std::string AnsiFromWide(std::wstring_view text) { return FromWide(CP_ACP, text); }

std::wstring QuotedArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

}  // namespace platform::win
