#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "build_config.h"
#include "engine/binary_patch.h"
#include "engine/container.h"
#include "engine/digest.h"
#include "engine/list_signature.h"
#include "engine/update_list.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"
#include "tools/publish/publisher.h"
#include "tools/publish/vendor_key.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

// Bytes that no compressor makes smaller.
std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string noise;
  for (std::size_t i = 0; i < size; ++i) noise.push_back(static_cast<char>((seed = seed * 1103515245 + 12345) >> 23));
  return noise;
}

const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }
std::string Md5(const std::string& s) { return engine::DigestText(Bytes(s), s.size()); }

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
  // Every name and every byte below an output folder.
  std::string Snapshot(const std::string& out) {
    std::string tree = testsupport::ListTree(root_ / out), all = tree;
    for (std::size_t at = 0, end; (end = tree.find('\n', at)) != std::string::npos; at = end + 1)
      if (tree[end - 1] != '/') all += ReadFile(root_ / (out + "/" + tree.substr(at, end - at))) + "\n";
    return all;
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
  o.notes["Editor.exe"] = {"Faster", "size=5 in lower case does no harm"};
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
  EXPECT_EQ(e.comments, (std::vector<std::string>{"Faster", "size=5 in lower case does no harm"}));
  EXPECT_EQ(list.items[1]->version, engine::PackVersion(2, 0, 0, 1)) << "the file's own version wins";
  // Each file that reports no version of its own is named, default or not.
  for (const std::string name : {"'Editor.exe'", "'data.bin'"})
    EXPECT_EQ(std::count_if(r.warnings.begin(), r.warnings.end(), [&](const std::string& w) { return w.find(name) == 0; }), 1) << name;

  // The packed file is what the updater unpacks to the original.
  std::string served = Served("Editor.ex_");
  ASSERT_LT(served.size(), editor.size());
  auto unpacked = engine::Unpack(reinterpret_cast<const std::uint8_t*>(served.data()),
                                 static_cast<std::int32_t>(served.size()), 200000);
  ASSERT_TRUE(unpacked);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(unpacked->data()), unpacked->size()), editor);
  EXPECT_EQ(Served("data.bin"), "no version here");
}

// UTF-8 texts are declared as such on a line the parser skips; others are
// listed undeclared, with a warning.
TEST_F(PublishTest, TheListDeclaresUtf8Texts) {
  WriteFile(root_ / "release/a.txt", "version=1.0\r\n");
  for (const auto& [note, declared] : {std::pair{"Sch\xC3\xA4rfer", true}, std::pair{"Sch\xE4rfer", false}}) {
    auto o = Options();
    o.replace = true;
    o.notes["a.txt"] = {note};
    auto r = publish::Publish(o);
    ASSERT_TRUE(r.ok);
    std::string doc = ReadFile(root_ / "out/tlv5.update/tlv5.php");
    EXPECT_EQ(doc.find("@TLV-DVD Update@\r\nCharset=UTF-8\r\n") != std::string::npos, declared) << note;
    EXPECT_EQ(r.warnings.size(), declared ? 0u : 1u) << note;
    engine::UpdateList list(engine::ListContext{"http://h/tlv5.update/", "/nowhere/", nullptr});
    EXPECT_EQ(engine::ParseListDocument(doc, list).utf8Declared, declared);
  }
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

TEST_F(PublishTest, IncompressibleAndEmptyExecutablesAreServedPlainUnderTheirPackedNames) {
  const std::string noise = Noise(5000, 1);
  WriteFile(root_ / "release/noise.dll", noise);
  WriteFile(root_ / "release/empty.exe", "");
  auto r = publish::Publish(Options());
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.files[0].packed || r.files[1].packed);
  EXPECT_EQ(Served("noise.dl_"), noise) << "a body as long as the listed size is taken as the file";
  EXPECT_TRUE(testsupport::PathExists(root_ / "out/tlv5.update/dvd/empty.ex_"));
  EXPECT_NE(ReadFile(root_ / "out/tlv5.update/tlv5.php")
                .find("File=empty.exe\r\nMD5=D41D8CD98F00B204E9800998ECF8427E\r\nSize=0\r\n"),
            std::string::npos);
}

TEST_F(PublishTest, RefusesWhatTheUpdaterCannotFetch) {
  struct Case {
    std::string file;
    std::string content;
    std::string error;
  } cases[] = {
      {"100%.txt", "x", "contains '%'"},
      {"a=b.txt", "x", "contains '='"},
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

// Patches from two earlier releases, one per earlier content where smaller than the file as served; their
// lines follow an item's fixed ones and change nothing for an updater that knows no patches.
TEST_F(PublishTest, PatchesFromEarlierReleases) {
  const std::string editor = Noise(100000, 1), dll = Noise(60000, 2), same = Noise(20000, 3);
  auto changed = [](std::string s, std::size_t at) { return s.replace(at, 5, "12345"); };
  const std::string releases[] = {"release", "old1", "old2"};
  // A file in the new and the earlier releases ("": absent); the earlier ones whose content gets a patch.
  const std::tuple<std::string, std::vector<std::string>, std::vector<int>> cases[] = {
      {"Editor.exe", {editor, changed(editor, 100), changed(editor, 50000)}, {1, 2}},
      {"lib/a.dll", {dll, changed(dll, 7), changed(dll, 7)}, {1}},
      {"same.bin", {same, same, ""}, {}},
      {"noise.bin", {Noise(300, 4), Noise(300, 5), ""}, {}},  // a patch of random bytes is larger than they are
  };
  for (const auto& [path, content, patched] : cases)
    for (int r = 0; r < 3; ++r) if (!content[r].empty()) WriteFile(root_ / (releases[r] + "/" + path), content[r]);
  WriteFile(root_ / "notes.txt", "Editor.exe: Faster\n");
  ASSERT_FALSE(publish::WriteNewKey(root_ / "vendor.key").publicKey.empty());
  for (bool sign : {false, true}) {
    const std::string out = sign ? "signed" : "plain";
    std::vector<std::string> args{"--delta-from", root_ / "old1", "--delta-from", root_ / "old2", "--notes",
                                  root_ / "notes.txt", "--default-version", "2.0.0.0", root_ / "release", root_ / out};
    if (sign) args.insert(args.begin(), {"--sign", root_ / "vendor.key"});
    auto run = testsupport::RunProcess(PUBLISH_BIN, {args});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("3 patches written: "), std::string::npos) << run.output;
    const std::string doc = ReadFile(root_ / (out + "/tlv5.update/tlv5.php"));
    auto sha = [&](const std::string& s) { return sign ? engine::Sha256Text(Bytes(s), s.size()) : ""; };
    for (const auto& [path, content, patched] : cases) {
      std::map<std::string, int> bases;  // MD5 -> release
      for (int r : patched) bases.emplace(Md5(content[r]), r);
      std::string lines = (sign ? "SHA256=" + sha(content[0]) : std::string("Version=2.0.0.0")) + "\r\n";
      for (const auto& [md5, r] : bases) {
        std::string name;  // the first 16 digits of the earlier MD5 in lower case
        for (char c : md5.substr(0, 16)) name += static_cast<char>(std::tolower(c));
        engine::PatchOffer p{md5, sha(content[r]), 0, "", "", path + "." + name + ".patch"};
        const std::string patchFile = root_ / (out + "/tlv5.update/dvd/" + publish::ServedName(p.path));
        const std::string patch = ReadFile(patchFile);
        std::tie(p.size, p.md5, p.sha256) = std::make_tuple(static_cast<std::int32_t>(patch.size()), Md5(patch), sha(patch));
        lines += "Patch=" + engine::PatchLineValue(p) + "\r\n";
        for (const char* listKey : {"File=", "MD5=", "Size=", "Version=", "Comment=", "SHA256="})
          EXPECT_EQ(engine::PatchLineValue(p).find(listKey), std::string::npos) << listKey;
        std::string built;
        auto append = [&](const std::uint8_t* d, std::size_t n) { return built.append(reinterpret_cast<const char*>(d), n), true; };
        EXPECT_EQ(engine::ApplyPatchFiles(patchFile, root_ / (releases[r] + "/" + path), content[0].size(), append),
                  engine::PatchOutcome::kApplied);
        EXPECT_TRUE(built == content[0]) << p.path;
      }
      EXPECT_LT(doc.find(lines, doc.find("File=" + path)), doc.find("[Item]", doc.find("File=" + path))) << lines;
    }
    // The earlier reading of an item gives the same items.
    std::string withoutPatches = doc;
    std::size_t removed = 0;
    for (std::size_t at; (at = withoutPatches.find("\r\nPatch=")) != std::string::npos; ++removed)
      withoutPatches.erase(at, withoutPatches.find("\r\n", at + 2) - at);
    EXPECT_EQ(removed, 3u);
    engine::ListContext context{"http://h/tlv5.update/", "/nowhere/", [](const std::string&) { return engine::VersionNumber{0}; }};
    engine::UpdateList withLines(context), withoutLines(context);
    engine::ParseListDocument(doc, withLines);
    engine::ParseListDocument(withoutPatches, withoutLines);
    ASSERT_EQ(withLines.items.size(), std::size(cases));
    ASSERT_EQ(withoutLines.items.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      const auto &a = *withLines.items[i], &b = *withoutLines.items[i];
      EXPECT_EQ(std::tie(a.url, a.md5, a.size, a.version, a.sha256, a.comments),
                std::tie(b.url, b.md5, b.size, b.version, b.sha256, b.comments));
    }
  }
}

TEST(PublishNamesTest, RefusesNamesTheUpdaterOrWindowsCannotTake) {
  const std::string server = "http://h/";  // 9 characters, with "dvd/" 13: paths of up to 242 fit
  const std::pair<std::string, std::string> cases[] = {  // path, error ("" when it may be published)
      {"docs/TLV5.PHP.txt", ""},
      {"docs/tlv5.php.txt", "tlv5.php"},
      {"tlv5.php", "tlv5.php"},
      {"DvD/a.txt", "folder 'DvD'"},
      {"a/dvd/b.txt", ""},
      {"dvdx/a.txt", ""},
      {"a<b.txt", "contains '<'"},
      {"a/b*/c.txt", "contains '*'"},
      {"q\"uote.txt", "contains '\"'"},
      {"pipe|.txt", "contains '|'"},
      {"con", "device name"},
      {"x/Nul.txt", "device name"},
      {"LPT9.tar.gz", "device name"},
      {"com1 .txt", "device name"},
      {"aux/readme.txt", "device name"},
      {"console.txt", ""},
      {"com10.txt", ""},
      {"lpt0.txt", "device name"},
      {"COM0", "device name"},
      {"CONIN$", "device name"},
      {"a/conout$.log", "device name"},
      {"COM\xC2\xB9", "device name"},
      {"lpt\xC2\xB3.txt", "device name"},
      {"nul .txt", "device name"},
      {"COM\xC2\xB4.txt", ""},
      {"conin.txt", ""},
      {"\xC3\x84nderungen.txt", ""},
      {"\xC4nderungen.txt", "not UTF-8"},
      {"tab\there.txt", "control character"},
      {"folder./a.txt", "ends in '.'"},
      {"a/name ", "ends in ' '"},
      {"a.b c", ""},
      {std::string(242, 'a'), ""},
      {std::string(243, 'a'), "has 256 characters"},
      {std::string(120, 'a') + "/" + std::string(121, 'b'), ""},
  };
  for (const auto& [path, error] : cases) {
    auto why = publish::RefusalReason(path, server);
    if (error.empty()) {
      EXPECT_FALSE(why) << path << ": " << *why;
    } else {
      ASSERT_TRUE(why) << path;
      EXPECT_NE(why->find(error), std::string::npos) << path << ": " << *why;
    }
  }
}

TEST_F(PublishTest, ReplacingIsAllOrNothing) {
  WriteFile(root_ / "release/Editor.exe", std::string(50000, 'a'));
  WriteFile(root_ / "release/old/notes.txt", "version=1.0\r\n");
  auto o = Options();
  ASSERT_TRUE(publish::Publish(o).ok);
  const std::string first = Snapshot("out");

  // A refused replacement writes nothing.
  o.replace = true;
  WriteFile(root_ / "release/DVD/x.txt", "installed in the wrong place");
  EXPECT_FALSE(publish::Publish(o).ok);
  EXPECT_EQ(Snapshot("out"), first);
  std::filesystem::remove_all(root_ / "release/DVD");

  // Runs that ended early: one left its new tree half-written, one had
  // moved the release aside; the next run puts the release back and clears
  // the rest, also when it refuses to publish.
  ASSERT_EQ(std::rename((root_ / "out/tlv5.update").c_str(), (root_ / "out/.tlv5.update.old-0123456789abcdef").c_str()), 0);
  WriteFile(root_ / "out/.tlv5.update.new-fedcba9876543210/dvd/half.txt", "half");
  o.replace = false;
  EXPECT_FALSE(publish::Publish(o).ok);
  EXPECT_EQ(Snapshot("out"), first);

  // A replacement is whole: the same tree as a first publication.
  WriteFile(root_ / "release/Editor.exe", std::string(60000, 'b'));
  std::filesystem::remove_all(root_ / "release/old");
  WriteFile(root_ / "release/new.txt", "version=1.1\r\n");
  o.replace = true;
  auto replaced = publish::Publish(o);
  ASSERT_TRUE(replaced.ok) << replaced.errors[0];
  ASSERT_TRUE(publish::Publish(Options("fresh")).ok);
  EXPECT_EQ(Snapshot("out"), Snapshot("fresh"));
}

TEST_F(PublishTest, SignedListVerifiesAndParsesAsTheUnsignedOne) {
  const std::string editor = std::string(70000, 'e') + "end";
  WriteFile(root_ / "release/Editor.exe", editor);
  WriteFile(root_ / "release/Language/Deutsch.ini", "version=2.0.0.1\r\n");
  auto key = engine::NewSigningKey();
  ASSERT_TRUE(key);
  auto plain = Options("plain"), signedOptions = Options();
  plain.notes["Editor.exe"] = signedOptions.notes["Editor.exe"] = {"Faster", "md5= in a comment"};
  plain.defaultVersion = signedOptions.defaultVersion = engine::PackVersion(2, 0, 0, 0);
  signedOptions.secretKey = key->secretKey;
  ASSERT_TRUE(publish::Publish(plain).ok);
  auto published = publish::Publish(signedOptions);
  ASSERT_TRUE(published.ok) << published.errors[0];
  const std::string doc = ReadFile(root_ / "out/tlv5.update/tlv5.php");
  auto verdict = engine::CheckListSignature(doc, key->publicKey, signedOptions.serverBase, 0);
  EXPECT_EQ(verdict.trust, engine::ListTrust::kTrusted);
  EXPECT_EQ(verdict.serial, 1u);
  EXPECT_EQ(engine::CheckListSignature(doc, key->publicKey, "http://other.example/tlv5.update/", 0).trust,
            engine::ListTrust::kOtherPlace);

  // Each item carries the SHA-256 of its unpacked bytes after its fixed
  // lines; an old updater reads the same items from both lists.
  for (const auto& [path, bytes] : {std::pair<std::string, std::string>{"Editor.exe", editor},
                                    {"Language/Deutsch.ini", "version=2.0.0.1\r\n"}}) {
    std::string sha = engine::Sha256Text(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::size_t item = doc.find("File=" + path + "\r\n");
    ASSERT_NE(item, std::string::npos) << path;
    std::size_t line = doc.find("\r\nSHA256=" + sha + "\r\n", item);
    EXPECT_LT(line, doc.find("[Item]", item)) << path;
    EXPECT_EQ(doc.find("\r\n", doc.find("\r\nVersion=", item) + 2), line) << path << ": right after Version=";
  }
  engine::ListContext context{"http://h/tlv5.update/", "/nowhere/", [](const std::string&) { return engine::VersionNumber{0}; }};
  engine::UpdateList fromSigned(context), fromPlain(context);
  engine::ParseListDocument(doc, fromSigned);
  engine::ParseListDocument(ReadFile(root_ / "plain/tlv5.update/tlv5.php"), fromPlain);
  ASSERT_EQ(fromSigned.items.size(), 2u);
  ASSERT_EQ(fromPlain.items.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const auto &a = *fromSigned.items[i], &b = *fromPlain.items[i];
    EXPECT_EQ(std::tie(a.url, a.md5, a.size, a.version, a.comments), std::tie(b.url, b.md5, b.size, b.version, b.comments));
  }
  EXPECT_EQ(ReadFile(root_ / "plain/tlv5.update/tlv5.php").find("SHA256="), std::string::npos);

  // The next publication counts on from the published serial; a given one
  // must be above it.
  signedOptions.replace = true;
  signedOptions.serial = 1;
  EXPECT_FALSE(publish::Publish(signedOptions).ok);
  EXPECT_EQ(ReadFile(root_ / "out/tlv5.update/tlv5.php"), doc);
  signedOptions.serial.reset();
  ASSERT_TRUE(publish::Publish(signedOptions).ok);
  verdict = engine::CheckListSignature(ReadFile(root_ / "out/tlv5.update/tlv5.php"), key->publicKey,
                                       signedOptions.serverBase, 1);
  EXPECT_EQ(verdict.trust, engine::ListTrust::kTrusted);
  EXPECT_EQ(verdict.serial, 2u);
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
  // A note may hold nothing the list reader would take for list syntax.
  for (std::string note : {"new: [Item]", "File=x.exe", "OldMD5=1", "Size=1", "Version=9.0.0.0", "Comment=two",
                           "SHA256=", "Patch=", "Serial=9", "Place=x", "Signature=", "@TLV-DVD Update@",
                           "zero\0byte"}) {
    if (note == "zero") note = std::string("zero\0byte", 9);
    auto withNote = Options();
    withNote.notes["a.exe"] = {"fine", note};
    auto r = publish::Publish(withNote);
    ASSERT_FALSE(r.ok) << note;
    EXPECT_NE(r.errors[0].find("release note of 'a.exe'"), std::string::npos) << r.errors[0];
  }

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
  EXPECT_EQ(testsupport::RunProcess(PUBLISH_BIN, {{"--server-base", "http://h/tlv5.php/", "a", "b"}}).exitCode, 2);
}

TEST(PublishCommandTest, NewKeyThenSignedPublications) {
  testsupport::TempFolder root;
  const std::string key = root / "vendor.key";
  auto made = testsupport::RunProcess(PUBLISH_BIN, {{"--new-key", key}});
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string secret = ReadFile(key), publicFile = ReadFile(key + ".pub");
  const std::string publicKey = publicFile.substr(publish::kPublicKeyPrefix.size(), 64);
  ASSERT_EQ(secret.substr(0, publish::kSecretKeyPrefix.size()), publish::kSecretKeyPrefix);
  ASSERT_EQ(publicFile, std::string(publish::kPublicKeyPrefix) + publicKey + "\n");
  EXPECT_NE(made.output.find("cmake -DHARBINOR_LIST_PUBLIC_KEY=" + publicKey), std::string::npos) << made.output;
  EXPECT_EQ(testsupport::RunProcess(PUBLISH_BIN, {{"--new-key", key}}).exitCode, 1);
  EXPECT_EQ(ReadFile(key), secret) << "a key is never overwritten";

  WriteFile(root / "release/a.txt", "version=1.0\r\n");
  for (int serial : {1, 2}) {
    std::vector<std::string> args{"--sign", key, root / "release", root / "www"};
    if (serial > 1) args.insert(args.begin(), "--replace");
    auto run = testsupport::RunProcess(PUBLISH_BIN, {args});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(publicKey), std::string::npos) << "the signing key is shown: " << run.output;
    auto verdict = engine::CheckListSignature(ReadFile(root / "www/tlv5.update/tlv5.php"), publicKey,
                                              HARBINOR_DEFAULT_SERVER, 0);
    EXPECT_EQ(verdict.trust, engine::ListTrust::kTrusted);
    EXPECT_EQ(verdict.serial, static_cast<std::uint64_t>(serial));
  }
}

}  // namespace
