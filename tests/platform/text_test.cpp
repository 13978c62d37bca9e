#include <locale.h>

#include <gtest/gtest.h>

#include "platform/text.h"

namespace {

// Sets the charset of the locale for one test and restores it after.
class LocaleScope {
 public:
  explicit LocaleScope(const char* name) : old_(setlocale(LC_CTYPE, nullptr)) { ok_ = setlocale(LC_CTYPE, name); }
  ~LocaleScope() { setlocale(LC_CTYPE, old_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string old_;
  bool ok_ = false;
};

TEST(TextTest, Utf16ToUtf8Locale) {
  LocaleScope scope("C.UTF-8");
  ASSERT_TRUE(scope.ok());
  EXPECT_EQ(platform::Utf16ToAnsi(u"plain"), "plain");
  EXPECT_EQ(platform::Utf16ToAnsi(u"caf\u00e9"), "caf\xC3\xA9");
  EXPECT_EQ(platform::Utf16ToAnsi(u"\U0001F600"), "\xF0\x9F\x98\x80");
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
}

TEST(TextTest, CharactersTheCharsetLacksBecomeQuestionMarks) {
  LocaleScope scope("C");
  EXPECT_EQ(platform::Utf16ToAnsi(u"caf\u00e9 \u65e5\u672c"), "caf? ??");
  EXPECT_EQ(platform::Utf16ToAnsi(u"\U0001F600!"), "?!");
  // A long text crosses the converter's internal chunks intact.
  std::u16string longText(1000, u'\u00e9');
  EXPECT_EQ(platform::Utf16ToAnsi(longText), std::string(1000, '?'));
}

TEST(TextTest, AnsiToUtf16) {
  LocaleScope scope("C.UTF-8");
  ASSERT_TRUE(scope.ok());
  EXPECT_EQ(platform::AnsiToUtf16("caf\xC3\xA9"), u"caf\u00e9");
  EXPECT_EQ(platform::AnsiToUtf16("a\xFF" "b"), u"a\uFFFDb");
  std::string big(600, 'x');
  EXPECT_EQ(platform::AnsiToUtf16(big), std::u16string(600, u'x'));
}

TEST(TextTest, CharLength) {
  LocaleScope scope("C.UTF-8");
  ASSERT_TRUE(scope.ok());
  const char* text = "\xC3\xA9" "a";
  EXPECT_EQ(platform::AnsiCharLength(text, 3), 2u);
  EXPECT_EQ(platform::AnsiCharLength(text + 2, 1), 1u);
  EXPECT_EQ(platform::AnsiCharLength(text, 1), 1u) << "a cut character counts as one byte";
  EXPECT_EQ(platform::AnsiCharLength("\x80", 1), 1u);
  EXPECT_EQ(platform::AnsiCharLength("", 0), 0u);
}

}  // namespace
