// Profile files read and written through the file service, so that every
// system keeps them byte for byte alike (the Windows profile functions would
// rewrite line ends and could leave a half-written file behind).
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace platform {
namespace {

bool IsUtf16(const std::string& bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xFE;
}

// The units of a UTF-16 LE file after its byte-order mark.
std::u16string Utf16Units(const std::string& bytes) { return Utf16FromLeBytes(std::string_view(bytes).substr(2)); }

std::string Utf16FileBytes(std::u16string_view units) {
  std::string bytes = "\xFF\xFE";
  for (char16_t u : units) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  return bytes;
}

std::string CutValue(std::string_view value, std::size_t bufferSize) {
  if (bufferSize == 0) return {};
  std::string out(value.substr(0, value.find('\0')));
  if (out.size() > bufferSize - 1) out.resize(bufferSize - 1);
  return out;
}

}  // namespace

std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view fallback, std::size_t bufferSize) {
  std::string bytes;
  if (ReadWholeFile(path, kMaxProfileFileBytes, bytes) != ReadResult::kOk) return CutValue(fallback, bufferSize);
  std::string text = IsUtf16(bytes) ? Utf16ToAnsi(Utf16Units(bytes)) : std::move(bytes);
  auto value = FindProfileValue(text, section, key);
  return CutValue(value ? std::string_view(*value) : fallback, bufferSize);
}

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
  std::string bytes;
  switch (ReadWholeFile(path, kMaxProfileFileBytes, bytes)) {
    case ReadResult::kOk:
    case ReadResult::kMissing:
      break;
    default:
      return false;  // never replace a file that could not be read whole
  }
  if (IsUtf16(bytes)) {
    // Edited as UTF-8, so that no character of the other lines is lost to
    // a locale charset that cannot hold it.
    auto utf8 = [](std::string_view ansi) { return Utf16ToUtf8(AnsiToUtf16(ansi)); };
    std::string text = SetProfileValue(Utf16ToUtf8(Utf16Units(bytes)), utf8(section), utf8(key), utf8(value));
    return ReplaceFileContents(path, Utf16FileBytes(Utf8ToUtf16(text)));
  }
  return ReplaceFileContents(path, SetProfileValue(bytes, section, key, value));
}

}  // namespace platform
