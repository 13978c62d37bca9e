#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace platform {
namespace {

bool IsUtf16(const std::string& bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xFE;
}

std::string Utf16BytesToAnsi(const std::string& bytes) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
    units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return Utf16ToAnsi(units);
}

std::string AnsiToUtf16Bytes(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t u : AnsiToUtf16(text)) {
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
  std::string text = IsUtf16(bytes) ? Utf16BytesToAnsi(bytes) : std::move(bytes);
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
  if (IsUtf16(bytes))
    return ReplaceFileContents(path, AnsiToUtf16Bytes(SetProfileValue(Utf16BytesToAnsi(bytes), section, key, value)));
  return ReplaceFileContents(path, SetProfileValue(bytes, section, key, value));
}

}  // namespace platform
