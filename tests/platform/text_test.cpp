#include <gtest/gtest.h>

#include "platform/text.h"
#include "tests/platform/charsets.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::Encoded;
using testsupport::TestCharset;

TEST(TextTest, Utf16ToAnsi) {
  testsupport::InEachCharset([](const TestCharset& charset) {
    EXPECT_EQ(platform::Utf16ToAnsi(u"plain"), "plain");
    // A character the charset lacks becomes one "?" (never a look-alike
    // such as "A" for U+0100), a surrogate pair included.
    EXPECT_EQ(platform::Utf16ToAnsi(u"caf\u00e9 \u20ac \u0100 \u65e5\u672c \U0001F600!"),
              Encoded(charset, U"caf\u00e9 \u20ac \u0100 \u65e5\u672c \U0001F600!"));
    // Broken surrogates become "?" and the rest survives.
    std::u16string lone = u"a";
    lone.push_back(char16_t(0xD800));
    lone += u"b";
    EXPECT_EQ(platform::Utf16ToAnsi(lone), "a?b");
    std::u16string trailing = u"z";
    trailing.push_back(char16_t(0xD83D));
    EXPECT_EQ(platform::Utf16ToAnsi(trailing), "z?");
    std::u16string low = u"x";
    low.push_back(char16_t(0xDC00));
    EXPECT_EQ(platform::Utf16ToAnsi(low), "x?");
    // A long text crosses the converter's internal chunks intact.
    EXPECT_EQ(platform::Utf16ToAnsi(std::u16string(1000, u'\u00e9')), Encoded(charset, std::u32string(1000, U'\u00e9')));
  });
}

TEST(TextTest, AnsiToUtf16AndCharLength) {
  testsupport::InEachCharset([](const TestCharset& charset) {
    // Every character the charset holds comes back.
    const std::pair<char32_t, std::u16string_view> characters[] = {
        {U'\u00e9', u"\u00e9"}, {U'\u20ac', u"\u20ac"}, {U'\u65e5', u"\u65e5"}, {U'\U0001F600', u"\U0001F600"}};
    for (const auto& [c, units] : characters) {
      std::string bytes = charset.encode(c);
      if (bytes == "?") continue;
      EXPECT_EQ(platform::AnsiToUtf16("a" + bytes + "b"), u"a" + std::u16string(units) + u"b");
    }
    // 0xFF is "ÿ" where the charset has it as that byte, else no text.
    EXPECT_EQ(platform::AnsiToUtf16("a\xFF" "b"), charset.encode(U'\u00ff') == "\xFF" ? u"a\u00ffb" : u"a\uFFFDb");
    EXPECT_EQ(platform::AnsiToUtf16(std::string(600, 'x')), std::u16string(600, u'x'));

    const std::string text = charset.encode(U'\u00e9') + "a";
    EXPECT_EQ(platform::AnsiCharLength(text.data(), text.size()), text.size() - 1);
    EXPECT_EQ(platform::AnsiCharLength(text.data() + text.size() - 1, 1), 1u);
    EXPECT_EQ(platform::AnsiCharLength(text.data(), 1), 1u) << "a cut character counts as one byte";
    EXPECT_EQ(platform::AnsiCharLength("\x80", 1), 1u);
    EXPECT_EQ(platform::AnsiCharLength("", 0), 0u);
  });
}

}  // namespace

namespace {

TEST(TextTest, Utf8IsCheckedAndWindows1252Converted) {
  const std::pair<std::string_view, bool> texts[] = {
      {"plain", true},          {"\xC3\xA4", true},         {"\xF0\x9F\x98\x80", true},
      {"\xC3", false},          {"\xE4rger", false},        {"\xC0\xAF", false} /* overlong */,
      {"\xED\xA0\x80", false} /* surrogate */,              {"\xF4\x90\x80\x80", false} /* past U+10FFFF */};
  for (const auto& [text, valid] : texts) EXPECT_EQ(platform::IsValidUtf8(text), valid) << testsupport::Show(text);
  EXPECT_EQ(platform::Windows1252ToUtf16("\xE4\x80\x81\x9F"), u"\u00e4\u20ac\u0081\u0178");
}

}  // namespace
