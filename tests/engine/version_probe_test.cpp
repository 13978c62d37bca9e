#include "engine/version_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "build_config.h"
#include "platform/resources.h"
#include "platform/version_resource.h"
#include "resources/version_info.h"
#include "tests/support/temp_folder.h"

// Where our own executables carry their version, read from an image in
// memory: an ELF section on Linux, a PE resource on Windows. One definition
// per system, in version_probe_posix_test.cpp and version_probe_win_test.cpp.
std::optional<std::string> FindOwnVersionResource(std::string_view image);

namespace {

using engine::PackVersion;
using engine::VersionNumber;
using testsupport::TempFolder;
using testsupport::WriteFile;

std::string Fixture(std::string_view name) { return std::string(PE_FIXTURE_DIR) + "/" + std::string(name) + ".dll"; }

std::string Dotted(VersionNumber v) {
  auto u = static_cast<std::uint64_t>(v);
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(u >> 48), unsigned(u >> 32 & 0xFFFF),
                unsigned(u >> 16 & 0xFFFF), unsigned(u & 0xFFFF));
  return text;
}

// The project version as the build configured it.
resources::VersionParts ProjectVersion() {
  resources::VersionParts parts{};
  std::string text = HARBINOR_VERSION_TEXT;
  std::size_t pos = 0;
  for (auto& part : parts) {
    std::size_t end = text.find('.', pos);
    part = static_cast<std::uint16_t>(std::stoul(text.substr(pos, end - pos)));
    pos = end == std::string::npos ? text.size() : end + 1;
  }
  return parts;
}

struct FileCase {
  const char* name;
  std::string bytes;
  VersionNumber expected;
};

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }
std::u16string Repeat16(char16_t c, std::size_t n) { return std::u16string(n, c); }

TEST(VersionProbeTest, TextFiles) {
  const FileCase cases[] = {
      {"SETUP.INI", "version=2.1.0.5\r\n", PackVersion(2, 1, 0, 5)},
      {"notes.txt", "[General]\r\nName=x\r\nversion=1.0\r\n", PackVersion(1, 0, 0, 0)},
      {"comma.ini", "version=5, 0, 0, 12\r\n", PackVersion(5, 0, 0, 12)},
      {"late.ini", Repeat(';', 96) + "version=2.1.0.5", 0},
      // The window ends inside the value: "2." is all that is read.
      {"cut.ini", Repeat(' ', 86) + "version=2.1.0.5", PackVersion(2, 0, 0, 0)},
      {"capital.ini", "Version=2.1.0.5\r\n", 0},
      {"zero.txt", std::string("abc\0version=1.2", 15), 0},
      {"empty.ini", "", 0},
      {"utf16.ini", testsupport::Utf16File(u"[General]\r\nversion=3.0\r\n"), PackVersion(3, 0, 0, 0)},
      // 48 units are read, the mark included: the key ends the window.
      {"utf16_late.ini", testsupport::Utf16File(Repeat16(u' ', 39) + u"version=3.0"), 0},
      {"utf16_edge.ini", testsupport::Utf16File(Repeat16(u' ', 37) + u"version=3.0"), PackVersion(3, 0, 0, 0)},
      // Without the mark, UTF-16 is read as 8-bit text and ends at once.
      {"utf16_nomark.ini", testsupport::Utf16File(u"version=3.0").substr(2), 0},
  };
  TempFolder folder;
  for (const FileCase& c : cases) {
    WriteFile(folder / c.name, c.bytes);
    EXPECT_EQ(Dotted(engine::ProbeFileVersion(folder / c.name)), Dotted(c.expected)) << c.name;
  }
}

std::string HelpFile(std::size_t markerAt, std::string_view afterMarker, std::size_t size = 1024) {
  std::string bytes(size, 'x');
  std::string mark = "@version@" + std::string(afterMarker);
  bytes.replace(markerAt, mark.size(), mark);
  return bytes.substr(0, std::max(size, markerAt + mark.size()));
}

TEST(VersionProbeTest, HelpFiles) {
  const FileCase cases[] = {
      {"help.chm", HelpFile(600, std::string("1.2.3.4\0", 8)), PackVersion(1, 2, 3, 4)},
      {"HELP.CHM", HelpFile(512, std::string("7.1\0", 4)), PackVersion(7, 1, 0, 0)},
      {"early.chm", HelpFile(400, std::string("1.2.3.4\0", 8)), 0},
      {"late.chm", HelpFile(800, std::string("1.2.3.4\0", 8)), 0},
      // At offset 246 one byte of the window follows the marker; at 247 none.
      {"edge.chm", HelpFile(512 + 246, "95"), PackVersion(9, 0, 0, 0)},
      {"past_edge.chm", HelpFile(512 + 247, "95"), 0},
      // Only 24 bytes after the marker count, and a zero byte ends them.
      {"long.chm", HelpFile(600, Repeat(' ', 20) + "1.2.3.4"), PackVersion(1, 2, 0, 0)},
      {"zero.chm", HelpFile(600, std::string("1.2\0.3.4", 8)), PackVersion(1, 2, 0, 0)},
      {"short.chm", "@version@1.2.3.4", 0},
      {"text_key.chm", Repeat(' ', 600) + "version=1.2.3.4", 0},
  };
  TempFolder folder;
  for (const FileCase& c : cases) {
    WriteFile(folder / c.name, c.bytes);
    EXPECT_EQ(Dotted(engine::ProbeFileVersion(folder / c.name)), Dotted(c.expected)) << c.name;
  }
}

TEST(VersionProbeTest, PeVersionResources) {
  const struct {
    const char* fixture;
    VersionNumber expected;
  } cases[] = {
      {"version_comma", PackVersion(5, 0, 0, 12)},  // PE32+, "5, 0, 0, 12"
      {"version_dots", PackVersion(5, 0, 0, 12)},   // PE32, "5.0.0.12"
      {"two_versions", PackVersion(3, 0, 0, 0)},
      {"named_version", PackVersion(2, 0, 0, 0)},
      {"named_only", PackVersion(4, 0, 0, 0)},
      {"languages", PackVersion(6, 0, 0, 7)},
      {"layout", PackVersion(1, 22, 3, 4)},
      {"no_version", 0},
      {"bare", 0},
  };
  TempFolder folder;
  for (const auto& c : cases) {
    std::string fixture = Fixture(c.fixture);
    ASSERT_TRUE(testsupport::PathExists(fixture)) << fixture;
    EXPECT_EQ(Dotted(engine::ProbeFileVersion(fixture)), Dotted(c.expected)) << c.fixture;
    // Any extension other than the three text ones, or none, reads the
    // resource; a "." in a folder name does not make an extension.
    for (const char* name : {"app.exe", "lib.DLL", "data.dat", "x.ini.bak", "v1.5/program"}) {
      testsupport::CopyFile(fixture, folder / name);
      EXPECT_EQ(Dotted(engine::ProbeFileVersion(folder / name)), Dotted(c.expected)) << c.fixture << " as " << name;
    }
  }
}

TEST(VersionProbeTest, NothingToReadGivesZero) {
  TempFolder folder;
  WriteFile(folder / "settings.cfg", "version=1.2.3.4\r\n");
  WriteFile(folder / "table.dat", "version=1.2.3.4\r\n");
  WriteFile(folder / "cfg.txt/notes", "version=1.2.3.4\r\n");
  WriteFile(folder / "one", "M");
  WriteFile(folder / "mz_only", "MZ");
  testsupport::CopyFile(Fixture("version_comma"), folder / "library.txt");
  WriteFile(folder / "utf16.bin", testsupport::Utf16File(u"FileVersion\0\0" u"1.2.3.4"));
  for (const std::string& path :
       {std::string(), folder / "missing.exe", folder / "missing.ini", folder / "missing.chm", folder.path(),
        folder / "cfg.txt", folder / "settings.cfg", folder / "table.dat", folder / "cfg.txt/notes", folder / "one",
        folder / "mz_only", folder / "library.txt", folder / "utf16.bin"}) {
    EXPECT_EQ(engine::ProbeFileVersion(path), 0) << path;
  }
}

TEST(VersionProbeTest, OwnExecutablesCarryTheProjectVersion) {
  resources::VersionParts v = ProjectVersion();
  VersionNumber expected = PackVersion(v[0], v[1], v[2], v[3]);
  for (const char* program : {HARBINOR_BIN, TOLVARO_BIN}) {
    EXPECT_EQ(Dotted(engine::ProbeFileVersion(program)), Dotted(expected)) << program;

    // The fixed file information carries the same numbers.
    std::optional<std::string> info = platform::ReadVersionResource(program);
    ASSERT_TRUE(info) << program;
    ASSERT_GE(info->size(), 40u + 52u);
    std::string fixed = info->substr(40, 52);
    auto u32 = [&](std::size_t at) {
      return std::uint32_t(std::uint8_t(fixed[at])) | std::uint32_t(std::uint8_t(fixed[at + 1])) << 8 |
             std::uint32_t(std::uint8_t(fixed[at + 2])) << 16 | std::uint32_t(std::uint8_t(fixed[at + 3])) << 24;
    };
    EXPECT_EQ(u32(0), 0xFEEF04BDu);
    EXPECT_EQ(u32(8), std::uint32_t(v[0]) << 16 | v[1]);
    EXPECT_EQ(u32(12), std::uint32_t(v[2]) << 16 | v[3]);
    // The resource read from the file equals the one found in memory.
    EXPECT_EQ(FindOwnVersionResource(testsupport::ReadFile(program)), info);
  }
}

TEST(VersionInfoTest, SameBytesAsTheResourceCompiler) {
  std::optional<std::string> compiled = platform::FindPeVersionResource(testsupport::ReadFile(Fixture("layout")));
  ASSERT_TRUE(compiled);
  std::string built = resources::BuildVersionInfo({1, 22, 3, 4}, "Layout check");
  EXPECT_EQ(testsupport::Show(built), testsupport::Show(*compiled));
}

struct ParseCase {
  std::u16string_view text;
  VersionNumber expected;
};

TEST(ParseVersionTextTest, Table) {
  const ParseCase cases[] = {
      {u"5, 0, 0, 12", PackVersion(5, 0, 0, 12)},
      {u"5.0.0.12", PackVersion(5, 0, 0, 12)},
      {u"5.0.0.12 beta", PackVersion(5, 0, 0, 12)},
      {u"1,2.3,4", PackVersion(1, 2, 3, 4)},
      {u"1.2", PackVersion(1, 2, 0, 0)},
      {u"1.2.3.4.5", PackVersion(1, 2, 3, 4)},
      {u"1..4", PackVersion(1, 0, 4, 0)},
      {u"  7 ,\t8", PackVersion(7, 8, 0, 0)},
      {u"3rc1.2", PackVersion(3, 2, 0, 0)},
      {u"", 0},
      {u"beta", 0},
      {u"\u00e9 1.2", PackVersion(0, 2, 0, 0)},
      {std::u16string_view(u"1.2\0" u"3.4", 7), PackVersion(1, 2, 0, 0)},
      // A negative part sets every bit above its place.
      {u"-1", static_cast<VersionNumber>(0xFFFF000000000000u)},
      {u"+3.-2", static_cast<VersionNumber>(0xFFFFFFFE00000000u)},
      // A part above 65535 spills into the next higher part.
      {u"1.70000", static_cast<VersionNumber>(0x0001117000000000u)},
      {u"70000.0.0.0", static_cast<VersionNumber>(0x1170000000000000u)},
      {u"32768", static_cast<VersionNumber>(0x8000000000000000u)},
      // Too many digits: the part saturates at 2^31 - 1 (or -2^31).
      {u"99999999999999999999.1", static_cast<VersionNumber>(0xFFFF000100000000u)},
      {u"0.0.0.-99999999999999999999", static_cast<VersionNumber>(0xFFFFFFFF80000000u)},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(engine::ParseVersionText(c.text, 0), c.expected)
        << testsupport::Show(std::string(c.text.begin(), c.text.end()));
  }
  EXPECT_EQ(engine::ParseVersionText(u"0.0.0.1", 0x10000), 0x10001);
}

// Damaged images: every answer is either no resource or the right one, and
// nothing is read out of bounds (the sanitizer build checks that).
TEST(PeReaderTest, DamagedImages) {
  TempFolder folder;
  for (const char* name : {"version_comma", "version_dots", "languages", "named_version"}) {
    std::string image = testsupport::ReadFile(Fixture(name));
    std::optional<std::string> whole = platform::FindPeVersionResource(image);
    ASSERT_TRUE(whole) << name;
    VersionNumber version = engine::ProbeFileVersion(Fixture(name));

    for (std::size_t length = 0; length < image.size(); ++length) {
      std::optional<std::string> found = platform::FindPeVersionResource(image.substr(0, length));
      if (found) {
        ASSERT_EQ(*found, *whole) << name << " cut at " << length;
      }
      if (length % 61 == 0) {
        WriteFile(folder / "cut.exe", image.substr(0, length));
        VersionNumber v = engine::ProbeFileVersion(folder / "cut.exe");
        ASSERT_TRUE(v == 0 || v == version) << name << " cut at " << length << ": " << Dotted(v);
      }
    }

    // The headers and section table fill the first 0x400 bytes; the
    // resource directory follows at 0x800.
    for (std::size_t at = 0; at < image.size(); ++at) {
      for (unsigned char mask : {0x01, 0x80, 0xFF}) {
        std::string damaged = image;
        damaged[at] = static_cast<char>(damaged[at] ^ mask);
        std::optional<std::string> found = platform::FindPeVersionResource(damaged);
        if (!found) continue;
        ASSERT_LE(found->size(), platform::kMaxVersionResourceBytes);
        if (at < 0x400) {
          ASSERT_EQ(*found, *whole) << name << " flipped at " << at;
        }
      }
    }
  }
}

// A minimal ELF image: the named sections, a section-name table and the
// section header table, in either class and byte order.
struct ElfLayout {
  bool is64 = true;
  bool bigEndian = false;
  bool extendedNumbering = false;
  std::vector<std::pair<std::string, std::string>> sections;  // name, contents
  std::uint32_t lastType = 1;  // SHT_PROGBITS; 8 is SHT_NOBITS
};

std::string BuildElf(const ElfLayout& layout) {
  auto put = [&](std::string& out, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) {
      int shift = layout.bigEndian ? 8 * (width - 1 - i) : 8 * i;
      out[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> shift & 0xFF);
    }
  };
  const std::size_t headerSize = layout.is64 ? 64 : 52, entrySize = layout.is64 ? 64 : 40;
  std::string image(headerSize, '\0');
  image.replace(0, 4, "\x7F" "ELF");
  image[4] = layout.is64 ? 2 : 1;
  image[5] = layout.bigEndian ? 2 : 1;
  image[6] = 1;

  std::string names(1, '\0');
  struct Placed { std::uint32_t name; std::uint64_t offset, size; std::uint32_t type; };
  std::vector<Placed> placed{{0, 0, 0, 0}};
  for (std::size_t i = 0; i < layout.sections.size(); ++i) {
    const auto& [name, contents] = layout.sections[i];
    placed.push_back({static_cast<std::uint32_t>(names.size()), image.size(), contents.size(),
                      i + 1 == layout.sections.size() ? layout.lastType : 1u});
    names += name + '\0';
    image += contents;
  }
  placed.push_back({static_cast<std::uint32_t>(names.size()), image.size(), 0, 3});
  names += ".shstrtab";
  names.push_back('\0');
  placed.back().size = names.size();
  image += names;

  const std::size_t tableAt = image.size();
  const std::size_t namesIndex = placed.size() - 1;
  image.append(placed.size() * entrySize, '\0');
  for (std::size_t i = 0; i < placed.size(); ++i) {
    std::size_t at = tableAt + i * entrySize;
    const Placed& p = placed[i];
    put(image, at, p.name, 4);
    put(image, at + 4, p.type, 4);
    put(image, at + (layout.is64 ? 24 : 16), p.offset, layout.is64 ? 8 : 4);
    put(image, at + (layout.is64 ? 32 : 20), p.size, layout.is64 ? 8 : 4);
  }
  std::size_t count = placed.size();
  if (layout.extendedNumbering) {
    put(image, tableAt + (layout.is64 ? 32 : 20), count, layout.is64 ? 8 : 4);
    put(image, tableAt + (layout.is64 ? 40 : 24), namesIndex, 4);
  }
  put(image, layout.is64 ? 0x28 : 0x20, tableAt, layout.is64 ? 8 : 4);
  put(image, layout.is64 ? 0x3A : 0x2E, entrySize, 2);
  put(image, layout.is64 ? 0x3C : 0x30, layout.extendedNumbering ? 0 : count, 2);
  put(image, layout.is64 ? 0x3E : 0x32, layout.extendedNumbering ? 0xFFFF : namesIndex, 2);
  return image;
}

TEST(ElfReaderTest, FindsOurSectionByName) {
  const std::string name = resources::kVersionSectionName;
  const std::string info = resources::BuildVersionInfo({2, 4, 6, 8}, "ELF check");
  const std::vector<std::pair<std::string, std::string>> usual{
      {".text", "code"}, {name + "_old", "wrong"}, {name.substr(0, name.size() - 1), "short"}, {name, info}};
  for (bool is64 : {true, false}) {
    for (bool big : {false, true}) {
      for (bool extended : {false, true}) {
        std::string image = BuildElf({is64, big, extended, usual});
        EXPECT_EQ(platform::FindElfVersionSection(image), info) << is64 << big << extended;
        // Only the header tells the class, so the other one finds nothing.
        std::string other = image;
        other[4] = is64 ? 1 : 2;
        EXPECT_EQ(platform::FindElfVersionSection(other), std::nullopt);
      }
    }
  }
  EXPECT_EQ(platform::FindElfVersionSection(BuildElf({true, false, false, {{".text", "x"}, {name, "first"}, {name, "second"}}})),
            "first");
  EXPECT_EQ(platform::FindElfVersionSection(BuildElf({true, false, false, {{".text", "x"}, {".data", "y"}}})),
            std::nullopt);
  ElfLayout noBits{true, false, false, {{name, "ignored"}}, 8};
  EXPECT_EQ(platform::FindElfVersionSection(BuildElf(noBits)), std::nullopt);
  // A PE image is no ELF image and the other way round.
  EXPECT_EQ(platform::FindElfVersionSection(testsupport::ReadFile(Fixture("version_comma"))), std::nullopt);
  EXPECT_EQ(platform::FindPeVersionResource(BuildElf({true, false, false, usual})), std::nullopt);
}

TEST(ElfReaderTest, DamagedImages) {
  const std::string name = resources::kVersionSectionName;
  const std::string info = resources::BuildVersionInfo({2, 4, 6, 8}, "ELF check");
  for (bool is64 : {true, false}) {
    std::string image = BuildElf({is64, false, false, {{".text", "code"}, {name, info}}});
    for (std::size_t length = 0; length < image.size(); ++length) {
      std::optional<std::string> found = platform::FindElfVersionSection(image.substr(0, length));
      if (found) {
        ASSERT_EQ(*found, info) << "cut at " << length;
      }
    }
    for (std::size_t at = 0; at < image.size(); ++at) {
      for (unsigned char mask : {0x01, 0x40, 0xFF}) {
        std::string damaged = image;
        damaged[at] = static_cast<char>(damaged[at] ^ mask);
        std::optional<std::string> found = platform::FindElfVersionSection(damaged);
        if (found) {
          ASSERT_LE(found->size(), platform::kMaxVersionResourceBytes);
        }
      }
    }
  }
  // A real executable of ours cut short anywhere.
  std::string program = testsupport::ReadFile(HARBINOR_BIN);
  std::optional<std::string> whole = FindOwnVersionResource(program);
  ASSERT_TRUE(whole);
  for (std::size_t length = 0; length < program.size(); length += 4093) {
    std::optional<std::string> found = FindOwnVersionResource(std::string_view(program).substr(0, length));
    if (found) {
      ASSERT_EQ(*found, *whole) << "cut at " << length;
    }
  }
}

}  // namespace
