// Profile files are edited by hand and by other programs. Feeds the bytes as
// profile text to the reader and the writer, and checks that a value written
// reads back and that the writer leaves other keys alone.
//
// Input: "section \x1F key \x1F value \x1F text"; without three separators
// the whole input is the text and fixed names are used.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/ascii_text.h"
#include "platform/profile.h"

namespace {

bool IsPlainWord(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

// A value that the one-line "key=value" form keeps exactly.
bool IsPlainValue(std::string_view v) {
  if (v.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return false;
  if (!v.empty() && (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t')) return false;
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that a read past the end is caught.
  std::unique_ptr<char[]> copy(new char[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  std::string_view input(copy.get(), size);

  std::string_view section = "General", key = "Language", value = "Deutsch", text = input;
  std::string_view parts[3];
  std::string_view rest = input;
  int found = 0;
  for (; found < 3; ++found) {
    std::size_t sep = rest.find('\x1F');
    if (sep == std::string_view::npos) break;
    parts[found] = rest.substr(0, sep);
    rest.remove_prefix(sep + 1);
  }
  if (found == 3) {
    section = parts[0];
    key = parts[1];
    value = parts[2];
    text = rest;
  }

  std::optional<std::string> otherBefore = platform::FindProfileValue(text, section, "Other");
  std::string out = platform::SetProfileValue(text, section, key, value);

  if (IsPlainWord(section) && IsPlainWord(key) && IsPlainValue(value)) {
    std::optional<std::string> after = platform::FindProfileValue(out, section, key);
    if (!after || *after != value) abort();
    // Another key of the section keeps its value.
    if (!base::EqualsIgnoringCase(key, "Other") && platform::FindProfileValue(out, section, "Other") != otherBefore) abort();
    // Setting the value it already has changes nothing more.
    if (platform::SetProfileValue(out, section, key, value) != out) abort();
  }
  return 0;
}
