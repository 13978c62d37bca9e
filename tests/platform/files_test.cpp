#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

TEST(FilesTest, WriteReadSeekAndSize) {
  testsupport::TempFolder tmp;
  std::string path = tmp / "data.bin";
  std::string bytes(10000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  {
    auto f = platform::File::Open(path, platform::OpenMode::kCreateAlways);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(f.Write(bytes.data(), bytes.size()), 10000);
    EXPECT_TRUE(f.Flush());
  }
  auto f = platform::File::Open(path, platform::OpenMode::kRead);
  ASSERT_TRUE(f.IsOpen());
  EXPECT_EQ(f.Size(), 10000u);
  ASSERT_TRUE(f.Seek(9000));
  char buf[4096];
  EXPECT_EQ(f.Read(buf, sizeof buf), 1000);
  EXPECT_EQ(std::string(buf, 1000), bytes.substr(9000));
  EXPECT_EQ(f.Read(buf, sizeof buf), 0);
  // A copy between files starts at the source's position and moves both on.
  {
    ASSERT_TRUE(f.Seek(1000));
    auto copy = platform::File::Open(tmp / "copy.bin", platform::OpenMode::kCreateNew);
    std::int64_t step = 0;
    while ((step = copy.CopyFrom(f, buf, sizeof buf)) > 0) {
    }
    EXPECT_EQ(step, 0);
    EXPECT_EQ(copy.Size(), 9000u);
  }
  EXPECT_EQ(ReadFile(tmp / "copy.bin"), bytes.substr(1000));
  // Moving keeps the handle open in the new owner only.
  platform::File moved = std::move(f);
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_FALSE(f.IsOpen());
}

TEST(FilesTest, OpenModes) {
  testsupport::TempFolder tmp;
  EXPECT_FALSE(platform::File::Open(tmp / "missing", platform::OpenMode::kRead).IsOpen());
  EXPECT_FALSE(platform::File::Open(tmp / "missing", platform::OpenMode::kWriteExisting).IsOpen());
  EXPECT_FALSE(platform::File::Open(tmp.path(), platform::OpenMode::kRead).IsOpen()) << "a folder is not a file";
  WriteFile(tmp / "f", "abcdef");
  {
    auto f = platform::File::Open(tmp / "f", platform::OpenMode::kWriteExisting);
    ASSERT_TRUE(f.IsOpen());
    f.Write("XY", 2);
  }
  EXPECT_EQ(ReadFile(tmp / "f"), "XYcdef");
  {
    // Two appenders at once (two processes adding to one record) both
    // write at the end.
    auto f = platform::File::Open(tmp / "f", platform::OpenMode::kAppend);
    auto g = platform::File::Open(tmp / "f", platform::OpenMode::kAppend);
    ASSERT_TRUE(g.IsOpen());
    f.Write("gh", 2);
    g.Write("ij", 2);
  }
  EXPECT_EQ(ReadFile(tmp / "f"), "XYcdefghij");
  {
    auto f = platform::File::Open(tmp / "f", platform::OpenMode::kCreateAlways);
    ASSERT_TRUE(f.IsOpen());
  }
  EXPECT_EQ(ReadFile(tmp / "f"), "");
}

TEST(FilesTest, FoldersAndMoves) {
  testsupport::TempFolder tmp;
  EXPECT_TRUE(platform::MakeFolder(tmp / "a"));
  EXPECT_FALSE(platform::MakeFolder(tmp / "a"));
  EXPECT_TRUE(platform::MakeFolders(tmp / "a/b/c/d"));
  EXPECT_TRUE(platform::IsFolder(tmp / "a/b/c/d"));
  WriteFile(tmp / "a/file", "x");
  EXPECT_FALSE(platform::MakeFolders(tmp / "a/file/sub")) << "a file is in the way";
  EXPECT_FALSE(platform::RemoveFolder(tmp / "a")) << "only empty folders go";
  EXPECT_TRUE(platform::RemoveFolder(tmp / "a/b/c/d"));

  WriteFile(tmp / "from", "from");
  WriteFile(tmp / "to", "to");
  EXPECT_FALSE(platform::MoveFileNoReplace(tmp / "from", tmp / "to"));
  EXPECT_EQ(ReadFile(tmp / "to"), "to");
  EXPECT_TRUE(platform::MoveFileNoReplace(tmp / "from", tmp / "moved"));
  EXPECT_EQ(ReadFile(tmp / "moved"), "from");
  EXPECT_FALSE(testsupport::PathExists(tmp / "from"));
  EXPECT_TRUE(platform::RemoveFile(tmp / "moved"));
  EXPECT_FALSE(platform::RemoveFile(tmp / "moved"));
}

TEST(FilesTest, NamesOutsideTheAnsiCodePage) {
  // A user's folder may have any name (here Cyrillic and Chinese, which no
  // single ANSI code page holds): paths are UTF-8 and reach the system whole.
  testsupport::TempFolder tmp;
  const std::string folder = tmp / "\xD0\x9F\xD0\xBE\xD0\xBB\xD1\x8C-\xE7\x94\xA8\xE6\x88\xB7";
  ASSERT_TRUE(platform::MakeFolders(folder + "/Configs"));
  const std::string file = folder + "/Configs/Harbinor.cfg";
  {
    auto f = platform::File::Open(file, platform::OpenMode::kCreateAlways);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(f.Write("[Harbinor]\n", 11), 11);
  }
  std::string out;
  EXPECT_EQ(platform::ReadWholeFile(file, 100, out), platform::ReadResult::kOk);
  EXPECT_EQ(out, "[Harbinor]\n");
  auto entries = platform::ListFolder(tmp.path());
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ(tmp / entries->front().name, folder);
  EXPECT_TRUE(platform::MoveFileNoReplace(file, file + ".old"));
  EXPECT_TRUE(platform::RemoveFile(file + ".old"));
}

TEST(FilesTest, ListFolder) {
  testsupport::TempFolder tmp;
  WriteFile(tmp / "one", "1");
  WriteFile(tmp / ".hidden", "22");
  WriteFile(tmp / "sub/inner", "333");
  auto entries = platform::ListFolder(tmp.path());
  ASSERT_TRUE(entries);
  std::vector<std::string> names;
  for (const auto& e : *entries) names.push_back(e.name + (e.isFolder ? "/" : ":" + std::to_string(e.size)));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden:2", "one:1", "sub/"}));
  EXPECT_FALSE(platform::ListFolder(tmp / "missing"));
}

TEST(FilesTest, ReadWholeFileRespectsItsCap) {
  testsupport::TempFolder tmp;
  std::string out;
  EXPECT_EQ(platform::ReadWholeFile(tmp / "missing", 100, out), platform::ReadResult::kMissing);
  WriteFile(tmp / "f", std::string(100, 'x'));
  EXPECT_EQ(platform::ReadWholeFile(tmp / "f", 100, out), platform::ReadResult::kOk);
  EXPECT_EQ(out, std::string(100, 'x'));
  EXPECT_EQ(platform::ReadWholeFile(tmp / "f", 99, out), platform::ReadResult::kTooLarge);
  WriteFile(tmp / "empty", "");
  EXPECT_EQ(platform::ReadWholeFile(tmp / "empty", 10, out), platform::ReadResult::kOk);
  EXPECT_EQ(out, "");
}

// Replacing writes over the old file, a new file never does; either way
// nothing is left beside, and a file given up before its commit is gone.
TEST(FilesTest, ReplaceFileContentsAndWriteNewFileLeaveNothingBeside) {
  testsupport::TempFolder tmp;
  WriteFile(tmp / "cfg", "old");
  ASSERT_TRUE(platform::ReplaceFileContents(tmp / "cfg", "new contents"));
  EXPECT_EQ(ReadFile(tmp / "cfg"), "new contents");
  EXPECT_FALSE(platform::WriteNewFile(tmp / "cfg", "newer"));
  EXPECT_EQ(ReadFile(tmp / "cfg"), "new contents");
  EXPECT_TRUE(platform::WriteNewFile(tmp / "key", "k", true));
  {
    platform::DurableFile dropped(tmp / "gone", tmp / "gone.part");
    EXPECT_TRUE(dropped.Create() && dropped.Write("x", 1) && dropped.MakeDurable());
    EXPECT_FALSE(dropped.Create()) << "one file per object";
  }
  EXPECT_EQ(testsupport::ListTree(tmp.path()), "cfg\nkey\n");
  EXPECT_FALSE(platform::ReplaceFileContents(tmp / "no/such/folder/cfg", "x"));
}

TEST(FilesTest, ModulePathIsThisProgram) {
  std::string path = platform::ModulePath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(std::filesystem::path(path).is_absolute()) << path;
  EXPECT_NE(path.find("platform_tests"), std::string::npos) << path;
}

}  // namespace
