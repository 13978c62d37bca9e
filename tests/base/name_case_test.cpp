#include "base/name_case.h"

#include <gtest/gtest.h>

namespace {

TEST(NameCaseTest, UpperCasesEachUtf16UnitAsWindowsCompares) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"readme.TXT", "README.TXT"},
      {"\xC3\xA4.txt", "\xC3\x84.TXT"},                                      // ä -> Ä
      {"\xC3\xBF", "\xC5\xB8"},                                              // ÿ -> Ÿ, beyond Latin-1
      {"\xC4\x81\xC4\x82", "\xC4\x80\xC4\x82"},                              // ā -> Ā; Ă stays
      {"\xCF\x83\xCF\x82", "\xCE\xA3\xCE\xA3"},                              // σ and ς -> Σ
      {"\xD0\xBF\xD1\x80\xD0\xB8", "\xD0\x9F\xD0\xA0\xD0\x98"},              // при -> ПРИ
      {"\xC3\x9F", "\xC3\x9F"},                                              // ß has no one-unit upper case
      {"\xEF\xBD\x81", "\xEF\xBC\xA1"},                                      // fullwidth a -> A
      {"\xF0\x90\x90\xA8", "\xF0\x90\x90\xA8"},                              // U+10428: two surrogate units
      {"\xE4.txt", std::nullopt},                                            // Latin-1, no UTF-8
      {"\xC0\xAF", std::nullopt},                                            // overlong "/"
      {"\xED\xA0\x80", std::nullopt},                                        // an encoded surrogate
      {"\xC3", std::nullopt},                                                // cut short
  };
  for (const auto& [name, key] : cases) EXPECT_EQ(base::WindowsCaseKey(name), key) << name;
}

}  // namespace
