#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/digest.h"
#include "engine/installed_content.h"
#include "engine/list_check.h"
#include "engine/list_signature.h"
#include "engine/update_list.h"
#include "platform/facts.h"
#include "platform/text.h"
#include "tests/platform/charsets.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::WriteFile;

std::string Md5(const std::string& bytes) {
  return engine::DigestText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}
std::string Sha256(const std::string& bytes) {
  return engine::Sha256Text(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// A file that reports no version (version 0) is listed as 1.0.0.0: it is
// offered only where the installed file's content differs from the listed.
TEST(InstalledContentTest, AFileHoldingTheListedContentIsCurrent) {
  const std::string listed = "effects data, release 2";
  struct Case {
    const char* name;
    std::optional<std::string> installed;  // none: not installed
    bool withSha256;
    std::string sha256;  // listed SHA-256 when withSha256
    bool offered;
  } cases[] = {
      {"same content", listed, false, "", false},
      {"same content, same SHA-256", listed, true, Sha256(listed), false},
      {"same size, other content", std::string("effects data, release 1"), false, "", true},
      {"other size", std::string("effects data"), false, "", true},
      {"same MD5, other SHA-256", listed, true, Sha256("other"), true},
      {"not installed", std::nullopt, false, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder app;
    if (c.installed) WriteFile(app / "data/effects.bin", *c.installed);
    engine::UpdateList list(engine::ListContext{"http://127.0.0.2/u/", app.path() + "/",
                                                [](const std::string&) { return engine::VersionNumber{0}; },
                                                app / "cache"});
    std::string document = "@TLV-DVD Update@\r\n@TLV-DVD Update@\r\n[Item]\r\nFile=data/effects.bin\r\nMD5=" +
                           Md5(listed) + "\r\nSize=" + std::to_string(listed.size()) + "\r\nVersion=1.0.0.0\r\n" +
                           (c.withSha256 ? std::string(engine::kSha256Key) + c.sha256 + "\r\n" : std::string());
    EXPECT_EQ(engine::JudgeListDocument(document, "", 0, list).outcome,
              c.offered ? engine::CheckOutcome::kUpdates : engine::CheckOutcome::kNothingNew);
  }
}

// An unchanged file is read once, not at every check; a changed one again.
TEST(InstalledContentTest, TheCacheSparesReadingUnchangedFiles) {
  testsupport::TempFolder tmp;
  const std::string file = tmp / "big.dat", cache = tmp / "digests";
  const std::string content(100000, 'x');
  WriteFile(file, content);
  auto check = [&](const std::string& listed, bool expectHeld, int expectRead) {
    engine::InstalledContent installed(cache);
    EXPECT_EQ(installed.Holds(file, static_cast<std::int64_t>(listed.size()), Md5(listed), ""), expectHeld);
    EXPECT_EQ(installed.filesRead(), expectRead);
    EXPECT_TRUE(installed.Save());
  };
  check(content, true, 1);
  // Written just before the cache: it might have changed since within the
  // clock's step, unseen; it is read again until it is older.
  check(content, true, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  check(content, true, 1);
  check(content, true, 0);
  WriteFile(file, std::string(100000, 'y'));
  check(content, false, 1);
}

// The list's texts reach the windows in the locale's charset, whether the
// list declares UTF-8, holds UTF-8 undeclared, or holds Windows-1252.
TEST(ListTextTest, TextsReachTheWindowInTheLocalesCharset) {
  testsupport::InEachCharset([](const testsupport::TestCharset& charset) {
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC";  // "Grüße €"
    const std::string cp1252 = "Gr\xFC\xDF" "e \x80";
    const std::string shown = testsupport::Encoded(charset, U"Gr\u00fc\u00dfe \u20ac");
    // Undeclared Windows-1252 text is the ANSI code page itself on Windows.
    const std::string legacy = platform::kLegacyTextIsLocal ? cp1252 : shown;
    const struct {
      std::string charsetLine;
      std::string text;
      std::string expected;
    } cases[] = {
        {"Charset=UTF-8\r\n", utf8, shown},
        {"", utf8, shown},
        {"", cp1252, legacy},
        {"Charset=UTF-8\r\n", "plain ASCII", "plain ASCII"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(testsupport::Show(c.charsetLine + c.text));
      engine::UpdateList list(engine::ListContext{"http://127.0.0.2/u/", "/nowhere/",
                                                  [](const std::string&) { return engine::VersionNumber{0}; }});
      std::string document = "@TLV-DVD Update@\r\n" + c.text + "\r\n@TLV-DVD Update@\r\n" + c.charsetLine +
                             "[Item]\r\nFile=a.txt\r\nMD5=" + Md5("a") + "\r\nVersion=1\r\nComment=" + c.text;
      auto verdict = engine::JudgeListDocument(document, "", 0, list);
      ASSERT_EQ(verdict.outcome, engine::CheckOutcome::kUpdates);
      EXPECT_EQ(verdict.introText, c.expected);
      EXPECT_EQ(list.items[0]->comments, std::vector<std::string>{c.expected});
    }
  });
}

}  // namespace
