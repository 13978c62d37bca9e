#include "settings/string_catalog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tests/platform/charsets.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::Show;
using testsupport::TempFolder;
using testsupport::Utf16File;
using testsupport::WriteFile;

constexpr std::string_view kHeader = "[harbinor.exe]\r\n";



// 8-bit text (ASCII only) widened unit by unit.
std::u16string Widen(std::string_view text) {
  std::u16string out;
  for (char c : text) out.push_back(static_cast<unsigned char>(c));
  return out;
}

// An application folder and a configuration folder in a temporary folder.
class StringCatalogTest : public testing::Test {
 protected:
  std::string AppFolder() const { return tmp_.path() + "/"; }
  std::string OptionFile() const { return tmp_ / "Configs/EditorOption.cfg"; }
  std::string LanguageFile(std::string_view name) const {
    return AppFolder() + "Language/" + std::string(name) + ".ini";
  }
  void SelectLanguage(std::string_view name) {
    WriteFile(OptionFile(), "[General]\r\nLanguage=" + std::string(name) + "\r\n");
  }
  // Selects language "xx" and writes its file.
  void WriteLanguage(std::string_view bytes) {
    SelectLanguage("xx");
    WriteFile(LanguageFile("xx"), bytes);
  }
  std::unique_ptr<settings::StringCatalog> Catalog() const {
    return std::make_unique<settings::StringCatalog>(OptionFile(), AppFolder());
  }

  TempFolder tmp_;
};

struct Builtin {
  std::uint32_t id;
  std::string_view text;
};

// The US English texts, written out here independently of the table.
constexpr Builtin kBuiltins[] = {
    {101, "&About Harbinor..."},
    {102, "Abort"},
    {103, "Download"},
    {105, "Your software is up-to-date."},
    {106, "A newer version is available. (total size: %s)"},
    {109, "Cannot connect to the Quorva web server."},
    {111, "Update error: cannot save file to the local disk."},
    {114, "500,310"},
    {115, "Arial"},
    {116, "12"},
    {117, "Check for Updates..."},
    {119, "You have downloaded all the update files.\n\nPlease restart the editor to install the new update.\n"},
    {121, "Speed: %5.1f Kb/s    Remaining:"},
    {122, "Press OK to cancel the update.\n"},
    {124, "Press \"Download\" to download update files."},
    {125, "Press \"Retry\" to update again."},
    {126, "Press \"Download\" to download again."},
    {127, "Retry"},
    {130, "Software Update Failed"},
    {131,
     "One or more files could not be updated. Please ensure that the application is\nclosed and that you have the "
     "permission to modify files.\n\nPress OK to start the application without update."},
    {132, ", Remaining: "},
    {133, "OK"},
    {134, "Cancel"},
    {135, "The help file help.chm is missing."},
    {136, "The update list could not be verified: it is not signed by the vendor, it has been altered, or it is "
          "older than one received before. Nothing has been downloaded."},
};

void ExpectBuiltinTexts(settings::StringCatalog& catalog) {
  for (const Builtin& b : kBuiltins) EXPECT_EQ(Show(catalog.GetText(b.id)), Show(b.text)) << "id " << b.id;
  const std::string_view prefix = "You can download the latest version from\n\n";
  std::string_view t120 = catalog.GetText(120);
  EXPECT_EQ(Show(t120.substr(0, prefix.size())), Show(prefix));
  EXPECT_GT(t120.size(), prefix.size()) << "no web address after the prefix";
  EXPECT_EQ(t120.find_first_of("\r\n", prefix.size()), std::string_view::npos) << Show(t120);
}

TEST_F(StringCatalogTest, BuiltinTextsWithoutOptionFile) {
  WriteFile(LanguageFile("xx"), std::string(kHeader) + "105=Translated\r\n");
  auto catalog = Catalog();
  ExpectBuiltinTexts(*catalog);
  for (std::uint32_t id : {0u, 1u, 100u, 199u, 1000u, 0xFFFFFFFFu})
    EXPECT_STREQ(catalog->GetText(id), "") << "id " << id;

  settings::StringCatalog noPath("", AppFolder());
  EXPECT_STREQ(noPath.GetText(105), "Your software is up-to-date.");
}

// Each of these setups must leave every text built in; each holds a
// translation that a faulty load would pick up.
TEST_F(StringCatalogTest, EveryFailedLoadGivesBuiltinTexts) {
  const std::string section = std::string(kHeader) + "105=Translated\r\n114=1,1\r\n";
  struct Setup {
    std::string_view name;
    std::string option;  // contents of the option file
    std::string file;    // name of the language file written
    std::string bytes;   // its contents
  };
  const Setup setups[] = {
      {"empty language value", "[General]\r\nLanguage=\r\n", ".ini", section},
      {"no language key", "[General]\r\nOther=xx\r\n", ".ini", section},
      {"language in another section", "[Other]\r\nLanguage=xx\r\n", "xx.ini", section},
      {"language file missing", "[General]\r\nLanguage=yy\r\n", "xx.ini", section},
      {"no section", "[General]\r\nLanguage=xx\r\n", "xx.ini", "[other.exe]\r\n105=Translated\r\n"},
      {"header letter case", "[General]\r\nLanguage=xx\r\n", "xx.ini", "[Harbinor.exe]\r\n105=Translated\r\n"},
      {"header with blank", "[General]\r\nLanguage=xx\r\n", "xx.ini", "[harbinor.exe] \r\n105=Translated\r\n"},
      {"header ends in bare LF", "[General]\r\nLanguage=xx\r\n", "xx.ini", "[harbinor.exe]\n105=Translated\n"},
      {"header ends in bare CR", "[General]\r\nLanguage=xx\r\n", "xx.ini", "[harbinor.exe]\r105=Translated\r"},
      {"file ends in the header", "[General]\r\nLanguage=xx\r\n", "xx.ini", "[harbinor.exe]\r"},
      {"zero byte before header", "[General]\r\nLanguage=xx\r\n", "xx.ini",
       std::string("\0", 1) + section},
      {"utf-16 mark before 8-bit text", "[General]\r\nLanguage=xx\r\n", "xx.ini", "\xFF\xFE" + section},
      {"utf-16 big-endian mark", "[General]\r\nLanguage=xx\r\n", "xx.ini",
       [] {
         std::string be = "\xFE\xFF";
         for (char c : std::string(kHeader) + "105=Translated\r\n") be += std::string(1, '\0') + c;
         return be;
       }()},
      {"utf-16 header in other letter case", "[General]\r\nLanguage=xx\r\n", "xx.ini",
       Utf16File(u"[HARBINOR.EXE]\r\n105=Translated\r\n")},
      {"utf-16 zero unit before header", "[General]\r\nLanguage=xx\r\n", "xx.ini",
       Utf16File(std::u16string(1, u'\0') + Widen(section))},
      {"mark only", "[General]\r\nLanguage=xx\r\n", "xx.ini", "\xFF\xFE"},
      {"one byte", "[General]\r\nLanguage=xx\r\n", "xx.ini", "\xFF"},
      {"empty file", "[General]\r\nLanguage=xx\r\n", "xx.ini", ""},
  };
  for (const Setup& s : setups) {
    SCOPED_TRACE(s.name);
    TempFolder tmp;
    const std::string app = tmp.path() + "/";
    WriteFile(tmp / "EditorOption.cfg", s.option);
    WriteFile(app + "Language/" + s.file, s.bytes);
    settings::StringCatalog catalog(tmp / "EditorOption.cfg", app);
    EXPECT_STREQ(catalog.GetText(105), "Your software is up-to-date.");
    EXPECT_STREQ(catalog.GetText(114), "500,310");
  }
}

TEST_F(StringCatalogTest, LanguageFileIsAFolder) {
  SelectLanguage("xx");
  WriteFile(LanguageFile("xx") + "/inside", std::string(kHeader) + "105=Translated\r\n");
  EXPECT_STREQ(Catalog()->GetText(105), "Your software is up-to-date.");
}

// The rules of the section, the same for both encodings of the file.
class SectionRulesTest : public StringCatalogTest, public testing::WithParamInterface<bool> {
 protected:
  void WriteSection(std::string_view ascii) {
    if (GetParam())
      WriteLanguage(Utf16File(Widen(ascii)));
    else
      WriteLanguage(ascii);
  }
};

INSTANTIATE_TEST_SUITE_P(Encodings, SectionRulesTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& p) { return p.param ? "Utf16" : "Ansi"; });

TEST_P(SectionRulesTest, EntryLines) {
  WriteSection(
      "[General]\r\n105=before the section\r\n"
      "[harbinor.exe]\r\n"
      "105 = blank kept\r\n"
      "; 106=comment\r\n"
      "abc=107\r\n"
      "0=zero\r\n"
      "\r\n"
      "   \r\n"
      "108\r\n"
      "110=first\r\n"
      "110=second\r\n"
      "   111=after spaces\r\n"
      "\t112=after a tab\r\n"
      "113 junk = x = y \r\n"
      "+117=plus\r\n"
      "118abc==eq\r\n"
      "119=a\\nb\\\\nc\\x\\N\\\r\n"
      "121=lone\rcarriage return\r\n"
      "122=\r\n"
      "106 =\\n\r\n"
      "-5=negative\r\n"
      "99999999999=saturated\r\n"
      "4000=above the table\r\n"
      "124=[not an end]\r\n"
      "125=last line");
  auto catalog = Catalog();
  struct {
    std::uint32_t id;
    std::string_view text;
  } const expected[] = {
      {105, " blank kept"},
      {106, "\n"},
      {107, "Update has been successfully downloaded."},
      {108, "Update has been aborted."},
      {110, "first"},
      {111, "after spaces"},
      {112, "after a tab"},
      {113, " x = y "},
      {114, "500,310"},
      {115, "Arial"},
      {116, "12"},
      {117, "plus"},
      {118, "=eq"},
      {119, "a\nb\\\nc\\x\\N\\"},
      {121, "lone\rcarriage return"},
      {122, ""},
      {123, "Message"},
      {124, "[not an end]"},
      {125, "last line"},
      {0xFFFFFFFBu, "negative"},
      {2147483647u, "saturated"},
      {4000, "above the table"},
      {0, ""},
  };
  for (const auto& e : expected) EXPECT_EQ(Show(catalog->GetText(e.id)), Show(e.text)) << "id " << e.id;
}

TEST_P(SectionRulesTest, SectionEndsAtBracketLine) {
  WriteSection(
      "[harbinor.exe]\r\n"
      "105=in\r\n"
      "\t[tab is not a blank]\r\n"
      "106=still in\r\n"
      "    [x]\r\n"
      "107=out\r\n"
      "[harbinor.exe]\r\n"
      "108=second header\r\n");
  auto catalog = Catalog();
  EXPECT_STREQ(catalog->GetText(105), "in");
  EXPECT_STREQ(catalog->GetText(106), "still in");
  EXPECT_STREQ(catalog->GetText(107), "Update has been successfully downloaded.");
  EXPECT_STREQ(catalog->GetText(108), "Update has been aborted.");

  // The header may stand anywhere, even inside a line; its first
  // occurrence counts.
  WriteSection("x=1 [harbinor.exe]\r\n109=A\r\n[y]\r\n[harbinor.exe]\r\n110=B\r\n");
  catalog = Catalog();
  EXPECT_STREQ(catalog->GetText(109), "A");
  EXPECT_STREQ(catalog->GetText(110), "Update failed.");

  // "[" right after the header ends an empty section.
  WriteSection("[harbinor.exe]\r\n[harbinor.exe]\r\n105=X\r\n");
  EXPECT_STREQ(Catalog()->GetText(105), "Your software is up-to-date.");
}

TEST_P(SectionRulesTest, BareLineFeedsMakeOneLine) {
  WriteSection("[harbinor.exe]\r\n105 = A\n106=B\n\n[x]\n107=C=D\n");
  auto catalog = Catalog();
  EXPECT_EQ(Show(catalog->GetText(105)), Show(" A\n106=B\n\n[x]\n107=C=D\n"));
  EXPECT_STREQ(catalog->GetText(106), "A newer version is available. (total size: %s)");
  EXPECT_STREQ(catalog->GetText(107), "Update has been successfully downloaded.");

  // The id is the first line's even when its "=" lies on a later line.
  WriteSection("[harbinor.exe]\r\n105\n106=B\n");
  catalog = Catalog();
  EXPECT_EQ(Show(catalog->GetText(105)), Show("B\n"));
  EXPECT_STREQ(catalog->GetText(106), "A newer version is available. (total size: %s)");

  // A file with bare LF throughout has no header at all.
  WriteSection("[harbinor.exe]\n105=A\n");
  EXPECT_STREQ(Catalog()->GetText(105), "Your software is up-to-date.");
}

TEST_P(SectionRulesTest, ZeroEndsTheText) {
  WriteSection(std::string(kHeader) + std::string("105=A\r\n106=B\0C\r\n107=D\r\n", 23));
  auto catalog = Catalog();
  EXPECT_STREQ(catalog->GetText(105), "A");
  EXPECT_STREQ(catalog->GetText(106), "B");
  EXPECT_STREQ(catalog->GetText(107), "Update has been successfully downloaded.");
}

TEST_P(SectionRulesTest, TruncatedFiles) {
  const std::string full = std::string(kHeader) + "105=Hallo\r\n106=Welt\r\n";
  for (std::size_t size = 0; size <= full.size(); ++size) {
    SCOPED_TRACE("file cut to " + std::to_string(size) + " bytes: " + Show(full.substr(0, size)));
    WriteSection(full.substr(0, size));
    auto catalog = Catalog();
    std::string t105 = catalog->GetText(105);
    std::string t106 = catalog->GetText(106);
    std::size_t body = size > kHeader.size() ? size - kHeader.size() : 0;
    std::string section = full.substr(kHeader.size()).substr(0, body);
    // What a correct reader gives for this prefix.
    std::string want105 = "Your software is up-to-date.";
    std::string want106 = "A newer version is available. (total size: %s)";
    if (body >= 4) want105 = section.substr(4, section.find("\r\n") == std::string::npos ? std::string::npos
                                                                                        : section.find("\r\n") - 4);
    if (body >= 11 + 4) {
      want106 = section.substr(15);
      if (want106.size() >= 2 && want106.substr(want106.size() - 2) == "\r\n") want106.resize(want106.size() - 2);
    }
    EXPECT_EQ(Show(t105), Show(want105));
    EXPECT_EQ(Show(t106), Show(want106));
  }
}

TEST_P(SectionRulesTest, LongTextIsKeptWhole) {
  const std::string longText(3000, 'x');
  WriteSection(std::string(kHeader) + "105=" + longText + "\\n\r\n");
  EXPECT_EQ(Catalog()->GetText(105), longText + "\n");
}

TEST_F(StringCatalogTest, Utf16TextsArriveInTheLocaleCharset) {
  const std::u16string section = u"[harbinor.exe]\r\n105=Gr\u00FC\u00DFe \u6771\u4EAC \U0001F600!\r\n"
                                 u"106=half \xD800 pair\r\n107=\u00E9\\n\u00E8\r\n";
  WriteLanguage(Utf16File(section));
  testsupport::InEachCharset([&](const testsupport::TestCharset& charset) {
    // One "?" for every character the charset lacks.
    auto catalog = Catalog();
    EXPECT_EQ(catalog->GetText(105), testsupport::Encoded(charset, U"Gr\u00FC\u00DFe \u6771\u4EAC \U0001F600!"));
    EXPECT_STREQ(catalog->GetText(106), "half ? pair");
    EXPECT_EQ(Show(catalog->GetText(107)), Show(testsupport::Encoded(charset, U"\u00E9\n\u00E8")));
  });
}

TEST_F(StringCatalogTest, Utf16OddLengthAndZeroUnit) {
  // A trailing odd byte is not part of the text.
  WriteLanguage(Utf16File(u"[harbinor.exe]\r\n105=AB") + "C");
  EXPECT_STREQ(Catalog()->GetText(105), "AB");
  WriteLanguage(Utf16File(u"[harbinor.exe]\r\n105=AB\r\n") + std::string(1, '\0'));
  EXPECT_STREQ(Catalog()->GetText(105), "AB");
  // Units after the first zero unit are not read; a zero byte inside a unit
  // is not a zero unit.
  WriteLanguage(Utf16File(std::u16string(u"[harbinor.exe]\r\n105=A\u0100B\r\n106=C") + u'\0' + u"\r\n107=D\r\n"));
  auto catalog = Catalog();
  EXPECT_STREQ(catalog->GetText(105), "A?B");
  EXPECT_STREQ(catalog->GetText(106), "C");
  EXPECT_STREQ(catalog->GetText(107), "Update has been successfully downloaded.");
}

TEST_F(StringCatalogTest, Utf8MarkIsOrdinaryBytes) {
  WriteLanguage("\xEF\xBB\xBF" + std::string(kHeader) + "105=Gr\xC3\xBC\xC3\x9F" "e\\n\xC3\xA9\r\n");
  testsupport::InEachCharset([&](const testsupport::TestCharset&) {
    EXPECT_EQ(Show(Catalog()->GetText(105)), Show("Gr\xC3\xBC\xC3\x9F" "e\n\xC3\xA9"));
  });
}

TEST_F(StringCatalogTest, LanguageFileReplacesLayoutAndTemplates) {
  WriteLanguage(std::string(kHeader) + "114=640,480\r\n115=Tahoma\r\n116=14\r\n106=Neu (%s)\r\n121=%5.1f kB/s\r\n");
  auto catalog = Catalog();
  EXPECT_STREQ(catalog->GetText(114), "640,480");
  EXPECT_STREQ(catalog->GetText(115), "Tahoma");
  EXPECT_STREQ(catalog->GetText(116), "14");
  EXPECT_STREQ(catalog->GetText(106), "Neu (%s)");
  EXPECT_STREQ(catalog->GetText(121), "%5.1f kB/s");
  EXPECT_STREQ(catalog->GetText(105), "Your software is up-to-date.");
}

TEST_F(StringCatalogTest, LanguageNameIsCutTo127Characters) {
  const std::string name(130, 'n');
  SelectLanguage(name);
  WriteFile(LanguageFile(name.substr(0, 127)), std::string(kHeader) + "105=cut name\r\n");
  EXPECT_STREQ(Catalog()->GetText(105), "cut name");
}

TEST_F(StringCatalogTest, TextsStayPutAndTheFileIsReadOnce) {
  WriteLanguage(std::string(kHeader) + "105=A\r\n");
  auto catalog = Catalog();
  const char* t105 = catalog->GetText(105);
  const char* t106 = catalog->GetText(106);
  const char* t500 = catalog->GetText(500);
  EXPECT_STREQ(t105, "A");
  EXPECT_STREQ(t500, "");

  // A changed file is not read again, and a second parse adds only ids not
  // yet held.
  WriteLanguage(std::string(kHeader) + "105=B\r\n107=C\r\n");
  catalog->ParseLanguageSection("105=B\r\n106=B\r\n501=D\r\n");
  EXPECT_STREQ(catalog->GetText(107), "Update has been successfully downloaded.");
  EXPECT_STREQ(catalog->GetText(501), "D");
  for (std::uint32_t id = 1; id < 3000; ++id) catalog->GetText(id);

  EXPECT_EQ(catalog->GetText(105), t105);
  EXPECT_EQ(catalog->GetText(106), t106);
  EXPECT_EQ(catalog->GetText(500), t500);
  EXPECT_STREQ(t105, "A");
  EXPECT_STREQ(t106, "A newer version is available. (total size: %s)");
  EXPECT_STREQ(t500, "");
}

TEST_F(StringCatalogTest, NoFileAtFirstRequestMeansNoneLater) {
  auto catalog = Catalog();
  EXPECT_STREQ(catalog->GetText(105), "Your software is up-to-date.");
  WriteLanguage(std::string(kHeader) + "105=A\r\n106=B\r\n");
  EXPECT_STREQ(catalog->GetText(106), "A newer version is available. (total size: %s)");
}

TEST(StringCatalogParse, ReadsOnlyInsideTheView) {
  settings::StringCatalog catalog("", "/nonexistent/");
  const std::string backing = "105=ABC\r\n106=DEF";
  catalog.ParseLanguageSection(std::string_view(backing).substr(0, 6));
  catalog.ParseLanguageSection(std::string_view(backing).substr(9, 5));
  EXPECT_STREQ(catalog.GetText(105), "AB");
  EXPECT_STREQ(catalog.GetText(106), "D");
  // The pair is cut at the end of the view: the backslash stays.
  settings::StringCatalog cut("", "/nonexistent/");
  const std::string escape = "107=x\\n";
  cut.ParseLanguageSection(std::string_view(escape).substr(0, 6));
  EXPECT_STREQ(cut.GetText(107), "x\\");

  // A zero byte ends the text, also in the middle of a line.
  settings::StringCatalog zero("", "/nonexistent/");
  zero.ParseLanguageSection(std::string_view("105=A\r\n106=B\0C\r\n107=D\r\n", 23));
  EXPECT_STREQ(zero.GetText(105), "A");
  EXPECT_STREQ(zero.GetText(106), "B");
  EXPECT_STREQ(zero.GetText(107), "Update has been successfully downloaded.");
}

TEST_F(StringCatalogTest, OversizedAndBinaryFilesGiveBuiltinTexts) {
  // Larger than any language file that is read, with a valid section first.
  std::string big = std::string(kHeader) + "105=Big\r\n";
  big.resize(settings::kMaxLanguageFileBytes + 1, 'x');
  WriteLanguage(big);
  EXPECT_STREQ(Catalog()->GetText(105), "Your software is up-to-date.");

  // Pseudo-random bytes with and without a mark and a header; nothing may
  // crash and unprovided ids stay built in.
  std::uint32_t state = 12345;
  auto next = [&] { return static_cast<char>((state = state * 1103515245u + 12345u) >> 16); };
  for (int round = 0; round < 40; ++round) {
    std::string bytes;
    if (round % 4 == 1) bytes = "\xFF\xFE";
    if (round % 2 == 1) bytes += round % 4 == 1 ? Utf16File(u"[harbinor.exe]\r\n").substr(2) : std::string(kHeader);
    for (int i = 0; i < 2000; ++i) bytes.push_back(next());
    WriteLanguage(bytes);
    auto catalog = Catalog();
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_STREQ(catalog->GetText(131),
                 "One or more files could not be updated. Please ensure that the application is\nclosed and that "
                 "you have the permission to modify files.\n\nPress OK to start the application without update.")
        << "unless the noise happened to hold id 131";
    for (std::uint32_t id = 100; id < 140; ++id) ASSERT_NE(catalog->GetText(id), nullptr);
  }
}

}  // namespace
