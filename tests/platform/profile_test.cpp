#include "platform/profile.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/facts.h"
#include "tests/platform/charsets.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::ReadFile;
using testsupport::Show;
using testsupport::TempFolder;
using testsupport::Utf16File;
using testsupport::WriteFile;



struct FindCase {
  std::string_view name;
  std::string_view text;
  std::string_view section;
  std::string_view key;
  std::optional<std::string> expected;
};

TEST(Profile, FindProfileValue) {
  const FindCase cases[] = {
      {"plain", "[General]\nLanguage=Deutsch\n", "General", "Language", "Deutsch"},
      {"crlf", "[General]\r\nLanguage=Deutsch\r\n", "General", "Language", "Deutsch"},
      {"last line without end", "[General]\r\nLanguage=Deutsch", "General", "Language", "Deutsch"},
      {"letter case", "[gEnErAl]\r\nlAnGuAgE=x\r\n", "GENERAL", "language", "x"},
      {"first key wins", "[S]\nk=1\nK=2\n", "S", "k", "1"},
      {"first section wins", "[S]\nk=1\n[T]\nk=2\n[s]\nk=3\n", "s", "k", "1"},
      {"later section of the name not read", "[S]\na=1\n[T]\n[S]\nk=3\n", "S", "k", std::nullopt},
      {"key of another section", "[T]\nk=1\n[S]\nj=2\n", "S", "k", std::nullopt},
      {"key before any section", "k=1\n[S]\nj=2\n", "S", "k", std::nullopt},
      {"section stops at the next header", "[S]\nj=1\n[T]\nk=2\n", "S", "k", std::nullopt},
      {"missing section", "[T]\nk=1\n", "S", "k", std::nullopt},
      {"empty text", "", "S", "k", std::nullopt},
      {"empty value", "[S]\nk=\n", "S", "k", ""},
      {"blanks dropped", "[S]\n \t k \t = \t a b \t \r\n", "S", "k", "a b"},
      {"blanks around header", "  [ S ]  \nk=v\n", "S", "k", "v"},
      {"value holds =", "[S]\nk=a=b\n", "S", "k", "a=b"},
      {"double quotes", "[S]\nk=\" a b \"\n", "S", "k", " a b "},
      {"single quotes", "[S]\nk='x'\n", "S", "k", "x"},
      {"empty quotes", "[S]\nk=\"\"\n", "S", "k", ""},
      {"unmatched quotes kept", "[S]\nk=\"x'\n", "S", "k", "\"x'"},
      {"lone quote kept", "[S]\nk=\"\n", "S", "k", "\""},
      {"inner quotes kept", "[S]\nk=a\"b\"\n", "S", "k", "a\"b\""},
      {"comment", "[S]\n;k=1\nk=2\n", "S", "k", "2"},
      {"indented comment", "[S]\n  ;k=1\n", "S", "k", std::nullopt},
      {"line without =", "[S]\nk\nk=2\n", "S", "k", "2"},
      {"key is a prefix", "[S]\nkey=1\n", "S", "k", std::nullopt},
      {"section is a prefix", "[Sec]\nk=1\n", "S", "k", std::nullopt},
      {"mixed line ends", "[A]\r\nx=1\n[S]\nk=v\r\n", "S", "k", "v"},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": \"" + Show(c.text) + "\"");
    EXPECT_EQ(platform::FindProfileValue(c.text, c.section, c.key), c.expected);
  }
}

struct SetCase {
  std::string_view name;
  std::string_view text;
  std::string_view section;
  std::string_view key;
  std::string_view value;
  std::string expected;
};

TEST(Profile, SetProfileValue) {
  const std::string nl = platform::kNewLine;
  const SetCase cases[] = {
      {"new file", "", "S", "k", "v", "[S]" + nl + "k=v" + nl},
      {"replace keeps the other lines byte for byte",
       "; top\r\n[S]\r\n  a = 1 \r\n\tk = old \r\nz=\"q\"\r\n\r\n[T]\r\nk=x\r\n", "S", "k", "new",
       "; top\r\n[S]\r\n  a = 1 \r\nk=new\r\nz=\"q\"\r\n\r\n[T]\r\nk=x\r\n"},
      {"replace in lf file", "[S]\nk=1\nj=2\n", "S", "k", "3", "[S]\nk=3\nj=2\n"},
      {"replace last line without end", "[S]\nk=1", "S", "k", "2", "[S]\nk=2\n"},
      {"replace by letter case", "[s]\nK=1\n", "S", "k", "2", "[s]\nk=2\n"},
      {"empty value", "[S]\r\nk=old\r\n", "S", "k", "", "[S]\r\nk=\r\n"},
      {"add after the last line of the section", "[S]\na=1\n\n[T]\nb=2\n", "S", "k", "v",
       "[S]\na=1\nk=v\n\n[T]\nb=2\n"},
      {"add to section without lines", "[S]\r\n[T]\r\n", "S", "k", "v", "[S]\r\nk=v\r\n[T]\r\n"},
      {"add to last section without end", "[S]\na=1", "S", "k", "v", "[S]\na=1\nk=v\n"},
      {"add section in crlf file", "[T]\r\nb=2\r\n", "S", "k", "v", "[T]\r\nb=2\r\n[S]\r\nk=v\r\n"},
      {"add section after line without end", "[T]\nb=2", "S", "k", "v", "[T]\nb=2\n[S]\nk=v\n"},
      {"lone CR ending the text stays in its line", "[S]\na=x\r", "S", "k", "v", "[S]\na=x\r\r\nk=v\n"},
      {"lone CR before a new section", "[T]\nb=2\r", "S", "k", "v", "[T]\nb=2\r\r\n[S]\nk=v\n"},
      {"only the first section of the name", "[S]\na=1\n[S]\nk=2\n", "S", "k", "3",
       "[S]\na=1\nk=3\n[S]\nk=2\n"},
      {"only the first key of the name", "[S]\nk=1\nk=2\n", "S", "k", "3", "[S]\nk=3\nk=2\n"},
      {"commented key stays", "[S]\n;k=1\n", "S", "k", "v", "[S]\n;k=1\nk=v\n"},
      {"line ends in the value become blanks", "[S]\n", "S", "k", "a\r\nb", "[S]\nk=a  b\n"},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": \"" + Show(c.text) + "\"");
    std::string out = platform::SetProfileValue(c.text, c.section, c.key, c.value);
    EXPECT_EQ(Show(out), Show(c.expected));
    // Whatever the layout, the value reads back.
    if (c.value.find_first_of("\r\n") == std::string_view::npos) {
      EXPECT_EQ(platform::FindProfileValue(out, c.section, c.key), std::string(c.value));
    }
    // Every other key keeps its value.
    for (std::string_view other : {"a", "b", "j", "z"}) {
      for (std::string_view sec : {"S", "T"}) {
        if (other == c.key && sec == c.section) continue;
        EXPECT_EQ(platform::FindProfileValue(out, sec, other), platform::FindProfileValue(c.text, sec, other))
            << "key " << other << " of section " << sec;
      }
    }
  }
}

TEST(Profile, ReadProfileString) {
  TempFolder tmp;
  const std::string path = tmp / "test.ini";
  EXPECT_EQ(platform::ReadProfileString(path, "S", "k", "fallback", 128), "fallback") << "missing file";
  EXPECT_EQ(platform::ReadProfileString(path, "S", "k", "fallback", 5), "fall") << "fallback is cut too";

  WriteFile(path, std::string("[S]\r\nk=abcdefgh\r\nz=ab\0cd\r\ne=\r\n", 30));
  struct {
    std::string_view key;
    std::size_t bufferSize;
    std::string expected;
  } const cases[] = {
      {"k", 128, "abcdefgh"}, {"k", 9, "abcdefgh"}, {"k", 8, "abcdefg"}, {"k", 2, "a"},
      {"k", 1, ""},           {"k", 0, ""},         {"z", 128, "ab"},     {"e", 128, ""},
      {"missing", 128, "dflt"}, {"missing", 3, "df"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::ReadProfileString(path, "S", c.key, "dflt", c.bufferSize), c.expected)
        << "key " << c.key << ", buffer " << c.bufferSize;
  }

  // A folder in place of the file reads as defaults.
  const std::string folder = tmp / "folder.ini";
  WriteFile(folder + "/inside", "x");
  EXPECT_EQ(platform::ReadProfileString(folder, "S", "k", "d", 128), "d");
}

TEST(Profile, ReadsUtf16File) {
  TempFolder tmp;
  const std::string path = tmp / "wide.ini";
  WriteFile(path, Utf16File(u"[General]\r\nLanguage=Deutsch\r\nOther=\"q\"\r\n"));
  EXPECT_EQ(platform::ReadProfileString(path, "general", "language", "", 128), "Deutsch");
  EXPECT_EQ(platform::ReadProfileString(path, "General", "Other", "", 128), "q");
  // An odd trailing byte is not part of the text.
  WriteFile(path, Utf16File(u"[General]\r\nLanguage=Deutsch") + "X");
  EXPECT_EQ(platform::ReadProfileString(path, "General", "Language", "", 128), "Deutsch");
}

TEST(Profile, WriteCreatesFileAndSection) {
  TempFolder tmp;
  const std::string path = tmp / "new.ini";
  const std::string nl = platform::kNewLine;
  ASSERT_TRUE(platform::WriteProfileString(path, "S", "k", "v"));
  EXPECT_EQ(Show(ReadFile(path)), Show("[S]" + nl + "k=v" + nl));
  ASSERT_TRUE(platform::WriteProfileString(path, "T", "j", ""));
  ASSERT_TRUE(platform::WriteProfileString(path, "s", "K", "w"));
  EXPECT_EQ(Show(ReadFile(path)), Show("[S]" + nl + "K=w" + nl + "[T]" + nl + "j=" + nl));
  EXPECT_EQ(platform::ReadProfileString(path, "S", "k", "", 128), "w");
  EXPECT_EQ(platform::ReadProfileString(path, "T", "j", "dflt", 128), "");
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(testsupport::ListTree(tmp.path()), "new.ini\n");

  // A folder that does not exist is not created.
  EXPECT_FALSE(platform::WriteProfileString(tmp / "no/such.ini", "S", "k", "v"));
  EXPECT_FALSE(testsupport::PathExists(tmp / "no"));
}

TEST(Profile, WriteKeepsOtherLinesByteForByte) {
  TempFolder tmp;
  const std::string path = tmp / "keep.ini";
  const std::string before =
      "; made by hand\r\n[General]\r\n  Language = Deutsch  \r\nUpdateTime=105\r\nServer=\"http://x/\"\r\n\r\n"
      "[Other]\r\nUpdateTime=7\r\n";
  WriteFile(path, before);
  ASSERT_TRUE(platform::WriteProfileString(path, "General", "UpdateTime", "106"));
  std::string expected = before;
  expected.replace(expected.find("UpdateTime=105"), 14, "UpdateTime=106");
  EXPECT_EQ(Show(ReadFile(path)), Show(expected));
  ASSERT_TRUE(platform::WriteProfileString(path, "General", "UpdateTime", ""));
  expected.replace(expected.find("UpdateTime=106"), 14, "UpdateTime=");
  EXPECT_EQ(Show(ReadFile(path)), Show(expected));
  EXPECT_EQ(testsupport::ListTree(tmp.path()), "keep.ini\n");
}

TEST(Profile, WriteKeepsUtf16FileUtf16) {
  TempFolder tmp;
  const std::string path = tmp / "wide.ini";
  WriteFile(path, Utf16File(u"[General]\r\nLanguage=English\r\nUpdateTime=1\r\n"));
  ASSERT_TRUE(platform::WriteProfileString(path, "General", "UpdateTime", "105"));
  EXPECT_EQ(Show(ReadFile(path)), Show(Utf16File(u"[General]\r\nLanguage=English\r\nUpdateTime=105\r\n")));
  ASSERT_TRUE(platform::WriteProfileString(path, "New", "k", "v"));
  EXPECT_EQ(Show(ReadFile(path)),
            Show(Utf16File(u"[General]\r\nLanguage=English\r\nUpdateTime=105\r\n[New]\r\nk=v\r\n")));
  EXPECT_EQ(platform::ReadProfileString(path, "New", "k", "", 128), "v");
}

TEST(Profile, WriteKeepsNonAsciiLinesOfUtf16FileInAnyLocale) {
  // Even where the locale charset cannot hold the other lines' characters,
  // rewriting one key must not lose them.
  testsupport::InEachCharset([](const testsupport::TestCharset& charset) {
    TempFolder tmp;
    const std::string path = tmp / "wide.ini";
    const std::u16string other = u"[Names]\r\nCity=Z\u00FCrich \u6771\u4EAC \U0001F600\r\n";
    WriteFile(path, Utf16File(u"[General]\r\nUpdateTime=1\r\n" + other));
    ASSERT_TRUE(platform::WriteProfileString(path, "General", "UpdateTime", "2"));
    EXPECT_EQ(Show(ReadFile(path)), Show(Utf16File(u"[General]\r\nUpdateTime=2\r\n" + other)));
    EXPECT_EQ(platform::ReadProfileString(path, "Names", "City", "", 128),
              testsupport::Encoded(charset, U"Z\u00FCrich \u6771\u4EAC \U0001F600"));
  });
}

TEST(Profile, OversizedFileReadsAsDefaultsAndIsNeverRewritten) {
  TempFolder tmp;
  const std::string path = tmp / "big.ini";
  std::string head = "[S]\r\nk=v\r\n";
  // Exactly at the limit: read and written as usual.
  std::string atLimit = head + std::string(platform::kMaxProfileFileBytes - head.size(), ';');
  WriteFile(path, atLimit);
  EXPECT_EQ(platform::ReadProfileString(path, "S", "k", "dflt", 128), "v");

  std::string tooBig = atLimit + ";";
  WriteFile(path, tooBig);
  EXPECT_EQ(platform::ReadProfileString(path, "S", "k", "dflt", 128), "dflt");
  EXPECT_FALSE(platform::WriteProfileString(path, "S", "k", "w"));
  std::string after = ReadFile(path);
  EXPECT_EQ(after.size(), tooBig.size());
  EXPECT_TRUE(after == tooBig) << "the oversized file was changed";
  EXPECT_EQ(testsupport::ListTree(tmp.path()), "big.ini\n");
}

TEST(Profile, WriteRefusesFolderInPlaceOfFile) {
  TempFolder tmp;
  const std::string folder = tmp / "folder.ini";
  WriteFile(folder + "/inside", "x");
  EXPECT_FALSE(platform::WriteProfileString(folder, "S", "k", "v"));
  EXPECT_EQ(ReadFile(folder + "/inside"), "x");
  TempFolder expected;
  WriteFile(expected / "folder.ini/inside", "x");
  EXPECT_EQ(testsupport::ListTree(tmp.path()), testsupport::ListTree(expected.path()));
}

}  // namespace
