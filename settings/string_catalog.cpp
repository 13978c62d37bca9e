#include "settings/string_catalog.h"

#include <algorithm>

#include "platform/facts.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "settings/app_paths.h"
#include "settings/config_store.h"
#include "base/number_text.h"

namespace settings {
namespace {

// The language value is read into a 128-byte buffer.
constexpr std::size_t kLanguageValueBuffer = 128;

std::u16string_view Utf16Header() {
  static const std::u16string header(kLanguageSectionHeader, kLanguageSectionHeader + 16);
  return header;
}

}  // namespace

StringCatalog::StringCatalog(std::string optionFilePath, std::string applicationFolder)
    : optionFilePath_(std::move(optionFilePath)), applicationFolder_(std::move(applicationFolder)) {}

const std::string& StringCatalog::Store(std::uint32_t id, std::string text) {
  return entries_.try_emplace(id, std::move(text)).first->second;
}

const char* StringCatalog::GetText(std::uint32_t id) {
  if (!tried_) LoadLanguageFile();
  if (auto it = entries_.find(id); it != entries_.end()) return it->second.c_str();
  return Store(id, platform::LoadBuiltinString(id, kBuiltinTextBuffer).value_or(std::string())).c_str();
}

void StringCatalog::LoadLanguageFile() {
  tried_ = true;
  if (optionFilePath_.empty() || !platform::Exists(optionFilePath_)) return;
  std::string language =
      platform::ReadProfileString(optionFilePath_, "General", "Language", "", kLanguageValueBuffer);
  if (language.empty()) return;
  std::string path = applicationFolder_ + kLanguageFolderName + platform::kPathSeparator + language + ".ini";
  if (path.size() > platform::kMaxPathLength) return;

  std::string bytes;
  if (platform::ReadWholeFile(path, kMaxLanguageFileBytes, bytes) != platform::ReadResult::kOk) return;

  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    // UTF-16 LE: the units after the mark, up to the first zero unit; a
    // trailing odd byte is not part of the text.
    std::u16string units = platform::Utf16FromLeBytes(std::string_view(bytes).substr(2));
    units.resize(std::min(units.size(), units.find(u'\0')));
    std::size_t at = std::u16string_view(units).find(Utf16Header());
    if (at == std::u16string_view::npos) return;
    ParseLanguageSection(platform::Utf16ToAnsi(std::u16string_view(units).substr(at + Utf16Header().size())));
    return;
  }

  std::string_view text(bytes);
  text = text.substr(0, text.find('\0'));
  std::size_t at = text.find(kLanguageSectionHeader);
  if (at == std::string_view::npos) return;
  ParseLanguageSection(text.substr(at + std::string_view(kLanguageSectionHeader).size()));
}

void StringCatalog::ParseLanguageSection(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  while (!text.empty()) {
    std::size_t end = text.find("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);

    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    if (!line.empty() && line.front() == '[') return;
    std::uint32_t id = static_cast<std::uint32_t>(base::ParseAtoi(line));
    if (id == 0) continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    if (entries_.count(id)) continue;

    // The text after the first "=", with each backslash-n pair turned into a
    // line feed. Scanning by characters keeps the second byte of a
    // double-byte character from starting a pair.
    std::string_view rest = line.substr(eq + 1);
    std::string value;
    value.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size();) {
      if (rest[i] == '\\' && i + 1 < rest.size() && rest[i + 1] == 'n') {
        value.push_back('\n');
        i += 2;
        continue;
      }
      std::size_t n = platform::AnsiCharLength(rest.data() + i, rest.size() - i);
      value.append(rest.substr(i, n));
      i += n;
    }
    Store(id, std::move(value));
  }
}

StringCatalog& ProcessCatalog() {
  static StringCatalog catalog(ConfigFilePath(kOptionFileName), ApplicationFolder());
  return catalog;
}

const char* GetText(std::uint32_t id) { return ProcessCatalog().GetText(id); }

}  // namespace settings
