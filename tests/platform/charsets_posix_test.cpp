// The locales a test selects on Linux: UTF-8 and the ASCII-only C locale.
#include <clocale>

#include <gtest/gtest.h>

#include "tests/platform/charsets.h"

namespace testsupport {
namespace {

std::string Utf8(char32_t c) {
  auto byte = [](char32_t bits) { return static_cast<char>(bits); };
  if (c < 0x80) return {byte(c)};
  if (c < 0x800) return {byte(0xC0 | c >> 6), byte(0x80 | (c & 0x3F))};
  if (c < 0x10000) return {byte(0xE0 | c >> 12), byte(0x80 | (c >> 6 & 0x3F)), byte(0x80 | (c & 0x3F))};
  return {byte(0xF0 | c >> 18), byte(0x80 | (c >> 12 & 0x3F)), byte(0x80 | (c >> 6 & 0x3F)), byte(0x80 | (c & 0x3F))};
}

std::string Ascii(char32_t c) { return c < 0x80 ? std::string(1, static_cast<char>(c)) : "?"; }

}  // namespace

void InEachCharset(const std::function<void(const TestCharset&)>& body) {
  for (const TestCharset& charset : {TestCharset{"C.UTF-8", Utf8}, TestCharset{"C", Ascii}}) {
    SCOPED_TRACE(charset.name);
    std::string previous = std::setlocale(LC_CTYPE, nullptr);
    if (!std::setlocale(LC_CTYPE, charset.name)) {
      ADD_FAILURE() << "no locale " << charset.name;
      continue;
    }
    body(charset);
    std::setlocale(LC_CTYPE, previous.c_str());
  }
}

}  // namespace testsupport
