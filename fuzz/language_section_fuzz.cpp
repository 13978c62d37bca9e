// Language files come from the main application's folder and may be damaged
// or hostile. Feeds the bytes to the section parser directly and, written as
// a language file, through the whole load path.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "platform/facts.h"
#include "platform/files.h"
#include "settings/string_catalog.h"

namespace {

// A folder of this process with the option file selecting language "xx";
// removed at exit.
struct Folder {
  std::string app;  // with a trailing separator
  std::string option;
  std::string language;

  Folder() {
    std::string base = (std::filesystem::temp_directory_path() / "harbinor-fuzz-language-").string();
    for (unsigned n = std::random_device()() % 1000000;; ++n) {
      app = base + std::to_string(n);
      if (platform::MakeFolder(app)) break;
      if (!platform::Exists(app)) abort();
    }
    app += platform::kPathSeparator;
    option = app + "EditorOption.cfg";
    language = app + "Language" + platform::kPathSeparator + "xx.ini";
    if (!platform::MakeFolder(app + "Language")) abort();
    Write(option, "[General]\r\nLanguage=xx\r\n");
  }
  ~Folder() {
    platform::RemoveFile(language);
    platform::RemoveFile(option);
    platform::RemoveFolder(app + "Language");
    platform::RemoveFolder(app);
  }
  static void Write(const std::string& path, std::string_view bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
    if (std::fclose(f) != 0) abort();
  }
};

Folder& TheFolder() {
  static Folder folder;
  return folder;
}

// Every text has its escapes resolved: no backslash-n pair is left.
void CheckTexts(settings::StringCatalog& catalog) {
  static const std::uint32_t kIds[] = {0, 1, 101, 105, 106, 114, 115, 116, 119, 120, 121, 131, 132, 133, 4294967295u};
  for (std::uint32_t id : kIds) {
    const char* text = catalog.GetText(id);
    if (!text) abort();
    std::string_view t(text);
    if (t.find("\\n") != std::string_view::npos) abort();
    // Handed-out texts stay where they are.
    if (catalog.GetText(id) != text) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that a read past the end is caught.
  std::unique_ptr<char[]> copy(new char[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  std::string_view bytes(copy.get(), size);

  {
    settings::StringCatalog catalog("", "/nonexistent/");
    catalog.ParseLanguageSection(bytes);
    CheckTexts(catalog);
  }
  {
    Folder& folder = TheFolder();
    Folder::Write(folder.language, bytes);
    settings::StringCatalog catalog(folder.option, folder.app);
    CheckTexts(catalog);
  }
  return 0;
}
