#include "engine/version_probe.h"

#include <array>
#include <cstddef>
#include <optional>

#include "platform/files.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "base/number_text.h"

namespace engine {
namespace {

constexpr std::size_t kTextBytesRead = 96;
constexpr std::size_t kTextBufferBytes = 128;
constexpr std::size_t kTextUnits = 128;
constexpr std::u16string_view kTextKey = u"version=";

constexpr std::uint64_t kHelpOffset = 512;
constexpr std::size_t kHelpWindow = 256;
constexpr std::string_view kHelpMarker = "@version@";
constexpr std::size_t kHelpValueBytes = 24;

constexpr std::u16string_view kResourceKey = u"FileVersion";
// The key's 11 units, its terminator and one unit of padding.
constexpr std::size_t kResourceValueDistance = 13;

// Reads up to `size` bytes at `offset` of the file into `buffer`; false
// when the file cannot be opened. A short file fills less.
bool ReadHead(const std::string& path, std::uint64_t offset, unsigned char* buffer, std::size_t size) {
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  if (!file.IsOpen()) return false;
  if (offset > 0 && !file.Seek(offset)) return true;
  std::size_t done = 0;
  while (done < size) {
    std::int64_t n = file.Read(buffer + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The text up to its first zero unit.
std::u16string_view UpToZero(std::u16string_view text) {
  std::size_t end = text.find(u'\0');
  return end == std::u16string_view::npos ? text : text.substr(0, end);
}

std::string_view UpToZero(std::string_view bytes) {
  std::size_t end = bytes.find('\0');
  return end == std::string_view::npos ? bytes : bytes.substr(0, end);
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ExtensionIs(std::string_view extension, std::string_view lowerCase) {
  if (extension.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < extension.size(); ++i) {
    if (AsciiLower(extension[i]) != lowerCase[i]) return false;
  }
  return true;
}

}  // namespace

VersionNumber ProbeFileVersion(const std::string& path) {
  std::string_view name = UpToZero(std::string_view(path));
  if (name.empty()) return 0;
  std::size_t dot = name.rfind('.');
  std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot);
  if (ExtensionIs(extension, ".ini") || ExtensionIs(extension, ".txt")) return ProbeTextVersion(path);
  if (ExtensionIs(extension, ".chm")) return ProbeHelpVersion(path);
  return ProbeResourceVersion(path);
}

VersionNumber ProbeTextVersion(const std::string& path) {
  std::array<unsigned char, kTextBufferBytes> buffer{};
  if (!ReadHead(path, 0, buffer.data(), kTextBytesRead)) return 0;

  std::u16string text;
  if (buffer[0] == 0xFF && buffer[1] == 0xFE) {
    text = platform::Utf16FromLeBytes(std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.size()));
  } else {
    std::string_view bytes(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    text = platform::AnsiToUtf16(UpToZero(bytes));
    if (text.size() > kTextUnits) text.resize(kTextUnits);
  }
  std::u16string_view view = UpToZero(std::u16string_view(text));
  std::size_t key = view.find(kTextKey);
  if (key == std::u16string_view::npos) return 0;
  return ParseVersionText(view.substr(key + kTextKey.size()), 0);
}

VersionNumber ProbeHelpVersion(const std::string& path) {
  std::array<char, kHelpWindow> window{};
  if (!ReadHead(path, kHelpOffset, reinterpret_cast<unsigned char*>(window.data()), window.size())) return 0;

  std::string_view bytes(window.data(), window.size());
  // The marker may start at offsets 0 to 246, so that at least one byte
  // follows it; near the end of the window only what the window holds does.
  for (std::size_t at = 0; at + kHelpMarker.size() < kHelpWindow; ++at) {
    if (bytes.substr(at, kHelpMarker.size()) != kHelpMarker) continue;
    std::string_view value = UpToZero(bytes.substr(at + kHelpMarker.size(), kHelpValueBytes));
    return ParseVersionText(platform::AnsiToUtf16(value), 0);
  }
  return 0;
}

VersionNumber ProbeResourceVersion(const std::string& path) {
  std::optional<std::string> resource = platform::ReadVersionResource(path);
  if (!resource) return 0;
  std::u16string units = platform::Utf16FromLeBytes(*resource);
  std::u16string_view view(units);
  std::size_t n = view.size();
  for (std::size_t i = 0; i + kResourceKey.size() < n; ++i) {
    if (view.substr(i, kResourceKey.size()) != kResourceKey) continue;
    std::size_t value = i + kResourceValueDistance;
    return value < n ? ParseVersionText(view.substr(value), 0) : 0;
  }
  return 0;
}

VersionNumber ParseVersionText(std::u16string_view text, VersionNumber number) {
  text = UpToZero(text);
  for (int shift = 48; shift >= 0; shift -= 16) {
    std::size_t separator = text.find_first_of(u",.");
    std::string part = platform::Utf16ToAnsi(text.substr(0, separator));
    number = OrVersionPart(number, base::ParseAtoi(part), shift);
    if (separator == std::u16string_view::npos) break;
    text.remove_prefix(separator + 1);
  }
  return number;
}

}  // namespace engine
