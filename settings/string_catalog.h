// The texts of the windows by string id. The built-in US English table
// (resources/builtin_strings.txt) can be overridden by the main application's language
// file: "Language/<name>.ini" in the application folder, where <name> is the
// value of [General] Language in "EditorOption.cfg" in the configuration
// folder. Only the file's "[harbinor.exe]" section is read, once per run, at
// the first request for a text.
//
// A text handed out stays valid and unchanged until the catalogue is
// destroyed: entries are only ever added, the first entry for an id wins.
// Not safe for concurrent use; texts are requested on the window's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace settings {

inline constexpr const char* kOptionFileName = "EditorOption.cfg";
inline constexpr const char* kLanguageFolderName = "Language";
inline constexpr const char* kLanguageSectionHeader = "[harbinor.exe]\r\n";
// Language files larger than this are not read; the built-in texts stay.
inline constexpr std::size_t kMaxLanguageFileBytes = 16 << 20;
// Built-in texts are loaded into buffers of this size.
inline constexpr std::size_t kBuiltinTextBuffer = 512;

class StringCatalog {
 public:
  // `optionFilePath`: full path of "EditorOption.cfg" (empty: none).
  // `applicationFolder`: ends with a separator.
  StringCatalog(std::string optionFilePath, std::string applicationFolder);

  // The text for `id`; never fails. An id that neither the language file
  // nor the built-in table holds gives the empty text.
  const char* GetText(std::uint32_t id);
  // Reads the selected language file once; runs at the first GetText.
  void LoadLanguageFile();
  // Stores the entries of the text that follows the section header.
  void ParseLanguageSection(std::string_view text);

 private:
  const std::string& Store(std::uint32_t id, std::string text);

  std::string optionFilePath_;
  std::string applicationFolder_;
  std::map<std::uint32_t, std::string> entries_;  // node-based: texts never move
  bool tried_ = false;
};

// The catalogue of this process, loaded from the running program's folders.
StringCatalog& ProcessCatalog();
const char* GetText(std::uint32_t id);

}  // namespace settings
