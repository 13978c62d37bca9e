#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/update_list.h"
#include "platform/facts.h"
#include "tests/support/loopback_server.h"

namespace {

using engine::ListOutcome;
using engine::PackVersion;
using engine::UpdateList;
using engine::VersionNumber;

constexpr const char* kBase = "http://127.0.0.2/tlv5.update/";
constexpr const char* kApp = "/opt/tolvaro/";
// "File=Language/Deutsch.ini" below kApp: "File=" values become native paths.
const std::string kInstalledDeutsch = kApp + std::string("Language") + platform::kPathSeparator + "Deutsch.ini";

// A list whose installed versions come from a table (missing files: 0),
// remembering which paths were probed.
class ListFixture {
 public:
  ListFixture() : list_(engine::ListContext{kBase, kApp, [this](const std::string& p) {
                          probed.push_back(p);
                          auto it = installed.find(p);
                          return it == installed.end() ? VersionNumber{0} : it->second;
                        }}) {}
  UpdateList& list() { return list_; }
  std::map<std::string, VersionNumber> installed;
  std::vector<std::string> probed;

 private:
  UpdateList list_;
};

std::string Doc(const std::string& intro, const std::string& rest) {
  return "@TLV-DVD Update@\r\n" + intro + "@TLV-DVD Update@\r\n" + rest;
}

// Every listed file needs a digest to be offered.
#define MD5_LINE "MD5=0123456789abcdef0123456789abcdef\r\n"

std::string Md5(const engine::UpdateItem& item) { return std::string(item.md5.data(), item.md5.size()); }

TEST(UpdateListTest, DocumentShape) {
  struct Case {
    std::string document;
    ListOutcome outcome;
    std::string intro;
  } cases[] = {
      {Doc("Release 1.1\r\nFaster export\r\n", "[Item]\r\nFile=a.txt\r\n" MD5_LINE "Version=1\r\n"),
       ListOutcome::kItemsSelected,
       "Release 1.1\r\nFaster export"},
      {Doc("", "[Item]\r\nFile=a.txt\r\n" MD5_LINE "Version=1\r\n"), ListOutcome::kItemsSelected, ""},
      {Doc("Nothing new\r\n", ""), ListOutcome::kNothingSelected, "Nothing new"},
      {"@TLV-DVD Update@ \r\nx\r\n@TLV-DVD Update@\r\n[Item]\r\nFile=a.txt\r\n" MD5_LINE "Version=1\r\n",
       ListOutcome::kNotAList, ""},
      {"@TLV-DVD Update@\r\nintro\r\n[Item]\r\nFile=a.txt\r\n" MD5_LINE "Version=1\r\n", ListOutcome::kNotAList, ""},
      {"@TLV-DVD Update@\nx\n@TLV-DVD Update@\n", ListOutcome::kNotAList, ""},
      {"@TLV-DVD Update", ListOutcome::kNotAList, ""},
      {" @TLV-DVD Update@\r\n@TLV-DVD Update@\r\n", ListOutcome::kNotAList, ""},
      // The closing marker line counts wherever it stands.
      {"@TLV-DVD Update@\r\nsee @TLV-DVD Update@\r\n[Item]\r\nFile=a.txt\r\n" MD5_LINE "Version=1\r\n",
       ListOutcome::kItemsSelected,
       "se"},  // the intro always loses its last two bytes
      // A zero byte ends the document.
      {std::string("@TLV-DVD Update@\r\n\0@TLV-DVD Update@\r\n", 37), ListOutcome::kNotAList, ""},
  };
  for (const Case& c : cases) {
    ListFixture f;
    auto parsed = engine::ParseListDocument(c.document, f.list());
    EXPECT_EQ(parsed.outcome, c.outcome) << c.document;
    EXPECT_EQ(parsed.introText, c.intro) << c.document;
    if (c.outcome == ListOutcome::kNotAList) {
      EXPECT_TRUE(f.list().items.empty());
    }
  }
  ListFixture f;
  EXPECT_EQ(engine::ParseListDocument(std::string_view(), f.list()).outcome, ListOutcome::kNotAList);
}

TEST(UpdateListTest, ItemBlocksAndKeys) {
  ListFixture f;
  std::string doc = Doc("intro\r\n",
                        "File=ignored.txt\r\nVersion=9\r\n"  // before the first header: ignored
                        "[Item]\r\n"
                        "OldFile=first.txt\r\nFile=second.txt\r\n"  // substring match: the first counts
                        "Comment=One\r\nComment=Two, with Size=77 inside\r\nSize=5\r\n"
                        "MD5=0123456789abcdef0123456789ABCDEFtrailing\r\nVersion=2.0 beta.7\r\n"
                        "Comment=Three\r\n"
                        "[Item] \r\n[item]\r\nComment=Four\r\n"  // no new block: belongs to this one
                        "[Item]\r\nVersion=5\r\nMD5=short\r\n"      // no File=: dropped
                        "[Item]\r\nFile=Language/Deutsch.ini\r\nVersion=1.2\r\nMD5=fedcba9876543210FEDCBA9876543210\r\n"
                        "Size=99999999999\r\nComment=last");
  auto parsed = engine::ParseListDocument(doc, f.list());
  ASSERT_EQ(parsed.outcome, ListOutcome::kItemsSelected);
  ASSERT_EQ(f.list().items.size(), 2u);

  const auto& a = *f.list().items[0];
  EXPECT_EQ(a.url, std::string(kBase) + "dvd/first.txt");
  EXPECT_EQ(a.size, 77) << "the first \"Size=\" anywhere in the block counts";
  EXPECT_EQ(Md5(a), "0123456789abcdef0123456789ABCDEF");
  EXPECT_TRUE(a.HasDigest());
  EXPECT_EQ(a.version, PackVersion(2, 0, 7, 0));
  EXPECT_EQ(a.comments, (std::vector<std::string>{"One", "Two, with Size=77 inside", "Three", "Four"}));

  const auto& b = *f.list().items[1];
  EXPECT_EQ(b.url, std::string(kBase) + "dvd/Language/Deutsch.ini") << "the address keeps the \"/\"";
  EXPECT_EQ(b.version, PackVersion(1, 2, 0, 0));
  EXPECT_EQ(b.size, 2147483647) << "an overflowing size saturates";
  EXPECT_EQ(Md5(b), "fedcba9876543210FEDCBA9876543210");
  EXPECT_EQ(b.comments, (std::vector<std::string>{"last"})) << "a last line without CR LF still counts";

  EXPECT_EQ(f.probed, (std::vector<std::string>{"/opt/tolvaro/first.txt", kInstalledDeutsch}));
  EXPECT_EQ(f.list().bytesTotal, 2147483647) << "the sum saturates instead of overflowing";
}

TEST(UpdateListTest, SelectionBySignedVersion) {
  struct Case {
    const char* listed;          // "Version=" value, or null for none
    VersionNumber installed;
    bool selected;
  } cases[] = {
      {"1.0.0.1", PackVersion(1, 0, 0, 0), true},
      {"1.0.0.0", PackVersion(1, 0, 0, 0), false},
      {"1.0.0.0", PackVersion(1, 0, 0, 1), false},
      {"0.0.0.1", 0, true},
      {"0.0.0.0", 0, false},
      {nullptr, 0, false},
      {nullptr, -1, true},
      {"32768.0.0.0", 0, false},  // a first part of 32768 or more is negative
      {"1.70000", PackVersion(1, 1, 0, 0), true},  // 70000 spills into the part above
      {"1.-1", PackVersion(1, 0, 0, 0), false},    // -1 sets every bit above its place
      {"1.2.3.4.5", PackVersion(1, 2, 3, 3), true},
      {"2", PackVersion(1, 65535, 65535, 65535), true},
      {" 3 .1", PackVersion(3, 0, 0, 0), true},
  };
  for (const Case& c : cases) {
    ListFixture f;
    f.installed["/opt/tolvaro/x.dll"] = c.installed;
    std::string block = "File=x.dll\r\nSize=10\r\n" MD5_LINE;
    if (c.listed) block += "Version=" + std::string(c.listed) + "\r\n";
    f.list().AddItemIfNewer(block);
    EXPECT_EQ(f.list().items.size(), c.selected ? 1u : 0u) << (c.listed ? c.listed : "(none)");
    EXPECT_EQ(f.list().bytesTotal, c.selected ? 10 : 0);
  }
}

// A file without a usable digest could never be staged: it is neither
// offered nor counted.
TEST(UpdateListTest, ItemsWithoutAUsableDigestAreDropped) {
  const std::string hex = "0123456789abcdefABCDEF0123456789";
  const std::pair<std::string, bool> cases[] = {
      {"", false},
      {"MD5=\r\n", false},
      {"MD5=" + hex.substr(0, 31) + "\r\n", false},
      {"MD5=" + hex.substr(0, 31) + "g\r\n", false},
      {"MD5= " + hex + "\r\n", false},
      {"MD5=" + hex + "\r\n", true},
      {"MD5=" + hex + " trailing\r\n", true},
  };
  for (const auto& [line, offered] : cases) {
    ListFixture f;
    f.list().AddItemIfNewer("File=x.dll\r\nSize=10\r\n" + line + "Version=1\r\n");
    EXPECT_EQ(f.list().items.size(), offered ? 1u : 0u) << line;
    EXPECT_EQ(f.list().bytesTotal, offered ? 10 : 0) << line;
  }
}

TEST(UpdateListTest, BytesTotalCountsSelectedItemsOnly) {
  ListFixture f;
  f.installed["/opt/tolvaro/old.txt"] = PackVersion(2, 0, 0, 0);
  auto parsed = engine::ParseListDocument(Doc("", "[Item]\r\nFile=new.txt\r\nSize=100\r\n" MD5_LINE "Version=1\r\n"
                                                  "[Item]\r\nFile=old.txt\r\nSize=1000\r\n" MD5_LINE "Version=1\r\n"
                                                  "[Item]\r\nFile=sub/deeper/more.bin\r\nSize=23\r\n" MD5_LINE
                                                  "Version=1\r\n"),
                                          f.list());
  EXPECT_EQ(parsed.outcome, ListOutcome::kItemsSelected);
  EXPECT_EQ(f.list().items.size(), 2u);
  EXPECT_EQ(f.list().bytesTotal, 123);
  f.list().ClearItems();
  EXPECT_TRUE(f.list().items.empty());
  EXPECT_EQ(f.list().bytesTotal, 123) << "clearing keeps the other fields";
}

// A file listed twice, also under the other separator, is offered and
// counted once: its first listing.
TEST(UpdateListTest, FileListedTwiceCountsOnce) {
  ListFixture f;
  engine::ParseListDocument(Doc("", "[Item]\r\nFile=Language/Deutsch.ini\r\nSize=100\r\n" MD5_LINE "Version=1\r\n"
                                    "[Item]\r\nFile=Language\\Deutsch.ini\r\nSize=300\r\n" MD5_LINE "Version=2\r\n"
                                    "[Item]\r\nFile=Language/Deutsch.ini\r\nSize=100\r\n" MD5_LINE "Version=1\r\n"
                                    "[Item]\r\nFile=other.txt\r\nSize=20\r\n" MD5_LINE "Version=1\r\n"
                                    "[Item]\r\nFile=LANGUAGE/deutsch.ini\r\nSize=1000\r\n" MD5_LINE "Version=1\r\n"),
                            f.list());
  // Letter case makes another file where the file system tells case apart.
  const bool caseApart = !platform::kWindowsNames;
  ASSERT_EQ(f.list().items.size(), caseApart ? 3u : 2u);
  EXPECT_EQ(f.list().items[0]->size, 100);
  EXPECT_EQ(f.list().bytesTotal, caseApart ? 1120 : 120);
  f.list().ClearItems();
  f.list().AddItemIfNewer("File=other.txt\r\nSize=20\r\n" MD5_LINE "Version=1\r\n");
  EXPECT_EQ(f.list().items.size(), 1u) << "a cleared list keeps nothing of its old items";
}

TEST(UpdateListTest, PathsThatLeaveTheApplicationFolderAreDropped) {
  std::vector<std::string> unsafe = {"../outside.txt", "a/../../outside.txt", "a\\..\\..\\x.txt",
                                            "/etc/passwd", "\\share\\x.txt", "C:\\x.txt", "c:x.txt", "..", "a/..",
                                            "x\rinjected.txt", "x\nHost: evil.txt", std::string(300, 'a'),
                                            "dvd/x.txt", "DVD\\x.txt", "@update@.log", "a/@UPDATE@.LOG"};
  std::vector<std::string> windowsOnly = {"CON",     "nul.txt", "a/com1.ini", "LPT9",           "a./b.txt", "name ",
                                          "aux .txt", "COM0",    "conin$",     "LPT\xC2\xB9.txt", "COM\xB2",  "a<b.txt"};
  if (platform::kWindowsNames) unsafe.insert(unsafe.end(), windowsOnly.begin(), windowsOnly.end());
  for (const std::string& file : unsafe) {
    ListFixture f;
    f.list().AddItemIfNewer("File=" + file + "\r\n" MD5_LINE "Version=1\r\n");
    EXPECT_TRUE(f.list().items.empty()) << file;
    EXPECT_TRUE(f.probed.empty()) << file;
  }
  std::vector<std::string> safe = {"a..b.txt", "..x/y.txt", "Language/Deutsch.ini", "Language\\Deutsch.ini", "x .txt",
                                   "a/dvd/x.txt", "dvdx/y.txt", "@update@.log.txt", "console.txt", "com10"};
  if (!platform::kWindowsNames) safe.insert(safe.end(), windowsOnly.begin(), windowsOnly.end());
  for (const std::string& file : safe) {
    ListFixture f;
    f.list().AddItemIfNewer("File=" + file + "\r\n" MD5_LINE "Version=1\r\n");
    EXPECT_EQ(f.list().items.size(), 1u) << file;
  }
  ListFixture f;
  f.list().AddItemIfNewer("File=Language\\Deutsch.ini\r\n" MD5_LINE "Version=1\r\n");
  EXPECT_EQ(f.probed, (std::vector<std::string>{kInstalledDeutsch}));
}

TEST(UpdateListTest, UrlItemsAndAddresses) {
  ListFixture f;
  EXPECT_EQ(f.list().ListAddress(), std::string(kBase) + "tlv5.php");
  f.list().AddUrlItem("");
  f.list().AddUrlItem(std::string(256, 'u'));
  EXPECT_TRUE(f.list().items.empty());
  f.list().AddUrlItem(f.list().ListAddress());
  ASSERT_EQ(f.list().items.size(), 1u);
  EXPECT_EQ(f.list().items[0]->url, "http://127.0.0.2/tlv5.update/tlv5.php");
  EXPECT_FALSE(f.list().items[0]->HasDigest());
  EXPECT_EQ(f.list().items[0]->size, 0);

  // A name the download worker keeps for its temporary files fails the list.
  ListFixture g;
  g.list().AddItemIfNewer("File=sub/.a.txt.0123456789abcdef.part\r\n" MD5_LINE "Version=1\r\n");
  EXPECT_TRUE(g.list().items.empty());
  EXPECT_TRUE(g.list().incomplete);
}

TEST(UpdateListTest, FetchedListParsesEndToEnd) {
  testsupport::LoopbackServer server(2);
  ASSERT_TRUE(server.listening());
  std::string document = Doc("Tolvaro 1.1\r\n",
                             "[Item]\r\nFile=Tolvaro\r\nSize=4\r\n" MD5_LINE "Version=1.1.0.0\r\nComment=New\r\n");
  server.Enqueue(testsupport::Respond("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + document));
  ListFixture request;
  request.list().AddUrlItem(request.list().ListAddress());
  auto& item = *request.list().items[0];
  ASSERT_TRUE(item.Connect(item.url));
  item.body = item.Get(request.list().bytesDone, item.bodyLength, request.list().runControl);
  ASSERT_NE(item.body, nullptr);
  ListFixture target;
  auto parsed = engine::ParseListDocument(
      std::string_view(reinterpret_cast<const char*>(item.body), static_cast<std::size_t>(item.bodyLength)),
      target.list());
  EXPECT_EQ(parsed.outcome, ListOutcome::kItemsSelected);
  EXPECT_EQ(parsed.introText, "Tolvaro 1.1");
  ASSERT_EQ(target.list().items.size(), 1u);
  EXPECT_EQ(target.list().items[0]->comments, (std::vector<std::string>{"New"}));
  ASSERT_TRUE(server.WaitForRequests(1, 1000));
  EXPECT_EQ(server.Requests()[0].substr(0, 35), "GET /tlv5.update/tlv5.php HTTP/1.1\r");
}

}  // namespace
