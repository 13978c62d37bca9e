// The 8-bit charsets (the "ANSI code page") the text tests run in, each with
// what it makes of a character. Linux lets a test select the locale's
// charset; Windows has the one code page the system was set up with.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace testsupport {

struct TestCharset {
  const char* name;
  // The charset's bytes for `c`; "?" when the charset lacks it.
  std::string (*encode)(char32_t c);
};

// Runs `body` once in each charset this system lets a test select, with that
// charset selected, and selects the one before again afterwards. Skips the
// test where no charset is known.
void InEachCharset(const std::function<void(const TestCharset&)>& body);

// `text` in the charset, character by character.
inline std::string Encoded(const TestCharset& charset, std::u32string_view text) {
  std::string out;
  for (char32_t c : text) out += charset.encode(c);
  return out;
}

}  // namespace testsupport
