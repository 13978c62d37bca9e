// Version texts come from files of the installation, which may be damaged.
// Reads the bytes as UTF-16 LE units and parses them as a version text;
// checks that "," and "." are interchangeable separators and that a zero
// unit ends the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/version_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));

  engine::VersionNumber number = engine::ParseVersionText(text, 0);

  std::u16string dotted = text;
  for (char16_t& u : dotted) {
    if (u == u',') u = u'.';
  }
  if (engine::ParseVersionText(dotted, 0) != number) abort();

  std::u16string withTail = text.substr(0, text.find(u'\0')) + u'\0' + u"9.9.9.9";
  if (engine::ParseVersionText(withTail, 0) != number) abort();
  return 0;
}
