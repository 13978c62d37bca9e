#include <gtest/gtest.h>

#include "engine/container.h"
#include "engine/digest.h"
#include "engine/update_list.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"
#include "tools/publish/publisher.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

class PublishTest : public ::testing::Test {
 protected:
  publish::PublishOptions Options(const std::string& out = "out") {
    publish::PublishOptions o;
    o.releaseFolder = root_ / "release";
    o.outputFolder = root_ / out;
    return o;
  }
  std::string Served(const std::string& rel, const std::string& out = "out") {
    return ReadFile(root_ / (out + "/tlv5.update/dvd/" + rel));
  }
  testsupport::TempFolder root_;
};

TEST_F(PublishTest, ListRoundTripsThroughTheUpdatersParser) {
  std::string editor(200000, 'e');
  WriteFile(root_ / "release/Editor.exe", editor);
  WriteFile(root_ / "release/Language/Deutsch.ini", "version=2.0.0.1\r\n");
  WriteFile(root_ / "release/data.bin", "no version here");
  auto o = Options();
  o.introText = "Tolvaro 2\nwith new effects\n";
  o.notes["Editor.exe"] = {"Faster", "Size=5 in a comment does no harm"};
  o.defaultVersion = engine::PackVersion(2, 0, 0, 0);
  auto r = publish::Publish(o);
  ASSERT_TRUE(r.ok) << r.errors.front();

  engine::UpdateList list(engine::ListContext{"http://h/tlv5.update/", "/nowhere/", [](const std::string&) {
                                                return engine::VersionNumber{0};
                                              }});
  std::string doc = ReadFile(root_ / "out/tlv5.update/tlv5.php");
  auto parsed = engine::ParseListDocument(doc, list);
  ASSERT_EQ(parsed.outcome, engine::ListOutcome::kItemsSelected);
  EXPECT_EQ(parsed.introText, "Tolvaro 2\r\nwith new effects");
  ASSERT_EQ(list.items.size(), 3u);
  const auto& e = *list.items[0];
  EXPECT_EQ(e.url, "http://h/tlv5.update/dvd/Editor.exe");
  EXPECT_EQ(e.size, 200000);
  EXPECT_EQ(std::string(e.md5.data(), 32), engine::DigestText(reinterpret_cast<const std::uint8_t*>(editor.data()), editor.size()));
  EXPECT_EQ(e.version, engine::PackVersion(2, 0, 0, 0));
  EXPECT_EQ(e.comments, (std::vector<std::string>{"Faster", "Size=5 in a comment does no harm"}));
  EXPECT_EQ(list.items[1]->version, engine::PackVersion(2, 0, 0, 1)) << "the file's own version wins";

  // The packed file is what the updater unpacks to the original.
  std::string served = Served("Editor.ex_");
  ASSERT_LT(served.size(), editor.size());
  auto unpacked = engine::Unpack(reinterpret_cast<const std::uint8_t*>(served.data()),
                                 static_cast<std::int32_t>(served.size()), 200000);
  ASSERT_TRUE(unpacked);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(unpacked->data()), unpacked->size()), editor);
  EXPECT_EQ(Served("data.bin"), "no version here");
}

TEST_F(PublishTest, SameInputGivesTheSameBytes) {
  WriteFile(root_ / "release/b/Editor.exe", std::string(100000, 'x') + "tail");
  WriteFile(root_ / "release/a.txt", "version=1.0\r\n");
  WriteFile(root_ / "release/c.dll", "not compressible? " + std::string(50, 'q'));
  auto first = publish::Publish(Options("one"));
  auto second = publish::Publish(Options("two"));
  ASSERT_TRUE(first.ok && second.ok);
  EXPECT_EQ(ReadFile(root_ / "one/tlv5.update/tlv5.php"), ReadFile(root_ / "two/tlv5.update/tlv5.php"));
  EXPECT_EQ(testsupport::ListTree(root_ / "one"), testsupport::ListTree(root_ / "two"));
  for (const char* f : {"b/Editor.ex_", "a.txt", "c.dl_"}) EXPECT_EQ(Served(f, "one"), Served(f, "two")) << f;
}

TEST_F(PublishTest, IncompressibleExecutableIsServedPlainUnderItsPackedName) {
  std::string noise;
  std::uint32_t x = 1;
  for (int i = 0; i < 5000; ++i) noise.push_back(static_cast<char>((x = x * 1103515245 + 12345) >> 23));
  WriteFile(root_ / "release/noise.dll", noise);
  auto r = publish::Publish(Options());
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.files[0].packed);
  EXPECT_EQ(Served("noise.dl_"), noise) << "a body as long as the listed size is taken as the file";
}

TEST_F(PublishTest, RefusesWhatTheUpdaterCannotFetch) {
  struct Case {
    std::string file;
    std::string content;
    std::string error;
  } cases[] = {
      {"100%.txt", "x", "contains '%'"},
      {"a=b.txt", "x", "contains '='"},
      {"empty.txt", "", "empty"},
  };
  for (const Case& c : cases) {
    testsupport::TempFolder scratch;
    WriteFile(scratch / "release/ok.txt", "fine");
    WriteFile(scratch / ("release/" + c.file), c.content);
    publish::PublishOptions o;
    o.releaseFolder = scratch / "release";
    o.outputFolder = scratch / "out";
    auto r = publish::Publish(o);
    EXPECT_FALSE(r.ok) << c.file;
    ASSERT_FALSE(r.errors.empty()) << c.file;
    EXPECT_NE(r.errors[0].find(c.error), std::string::npos) << r.errors[0];
    EXPECT_FALSE(testsupport::PathExists(scratch / "out/tlv5.update/tlv5.php")) << "nothing is published";
  }
}

TEST_F(PublishTest, OtherErrorsAndWarnings) {
  auto missing = publish::Publish(Options());
  ASSERT_FALSE(missing.ok);
  EXPECT_NE(missing.errors[0].find("does not exist"), std::string::npos);

  WriteFile(root_ / "release/a.exe", "one");
  WriteFile(root_ / "release/a.ex_", "two");
  auto clash = publish::Publish(Options());
  ASSERT_FALSE(clash.ok);
  EXPECT_NE(clash.errors[0].find("one name"), std::string::npos) << clash.errors[0];
  std::remove((root_ / "release/a.ex_").c_str());
  WriteFile(root_ / "release/A.EX_", "two");
  EXPECT_FALSE(publish::Publish(Options()).ok) << "served names that differ only in case are one file";
  std::remove((root_ / "release/A.EX_").c_str());

  auto withNotes = Options();
  withNotes.notes["nothere.txt"] = {"x"};
  EXPECT_FALSE(publish::Publish(withNotes).ok);

  auto markerIntro = Options();
  markerIntro.introText = "see @TLV-DVD Update@ here";
  EXPECT_FALSE(publish::Publish(markerIntro).ok);

  WriteFile(root_ / "release/.hidden", "skipped");
  auto ok = publish::Publish(Options());
  ASSERT_TRUE(ok.ok) << ok.errors[0];
  EXPECT_EQ(ok.files.size(), 1u);
  EXPECT_FALSE(ok.warnings.empty());

  auto again = publish::Publish(Options());
  EXPECT_FALSE(again.ok) << "an earlier publication is not overwritten by accident";
  auto replace = Options();
  replace.replace = true;
  WriteFile(root_ / "out/tlv5.update/dvd/stale.txt", "old");
  EXPECT_TRUE(publish::Publish(replace).ok);
  EXPECT_FALSE(testsupport::PathExists(root_ / "out/tlv5.update/dvd/stale.txt"));
}

TEST(PublishCommandTest, HelpAndUsage) {
  auto help = testsupport::RunProcess(PUBLISH_BIN, {{"--help"}});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("Usage: publish"), std::string::npos);
  auto bad = testsupport::RunProcess(PUBLISH_BIN, {{"--level", "12", "a", "b"}});
  EXPECT_EQ(bad.exitCode, 2) << bad.output;
  EXPECT_EQ(testsupport::RunProcess(PUBLISH_BIN, {{"--base", "a\\..\\x", "a", "b"}}).exitCode, 2);
  auto missing = testsupport::RunProcess(PUBLISH_BIN, {{"/nonexistent/release", "/tmp/x"}});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("does not exist"), std::string::npos) << missing.output;
}

}  // namespace
