// The ANSI code page of a Windows system, fixed when the system was set up:
// the tests know code page 1252 (Western European, also Wine's default).
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/platform/charsets.h"

namespace testsupport {
namespace {

// Latin-1 with the euro sign where Latin-1 has a control character; the
// code page's other characters in 0x80-0x9F are not used by the tests.
std::string Cp1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return std::string(1, static_cast<char>(c));
  return c == 0x20AC ? "\x80" : "?";
}

}  // namespace

void InEachCharset(const std::function<void(const TestCharset&)>& body) {
  if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP() << " is not known to the tests";
  SCOPED_TRACE("code page 1252");
  body(TestCharset{"1252", Cp1252});
}

}  // namespace testsupport
