// What only Linux file systems have: FIFOs, symbolic links, permission bits,
// files whose size is not known in advance.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/process.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::WriteFile;

TEST(FilesPosixTest, FifoIsNoFile) {
  testsupport::TempFolder tmp;
  // A FIFO in place of a file must neither hang nor count as a file.
  ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0644), 0);
  EXPECT_FALSE(platform::File::Open(tmp / "fifo", platform::OpenMode::kRead).IsOpen());
  EXPECT_FALSE(platform::File::Open(tmp / "fifo", platform::OpenMode::kCreateAlways).IsOpen());
}

TEST(FilesPosixTest, AttributesDoNotFollowLinks) {
  testsupport::TempFolder tmp;
  WriteFile(tmp / "file", "12345");
  ASSERT_EQ(symlink((tmp / "file").c_str(), (tmp / "link").c_str()), 0);
  auto file = platform::AttributesOf(tmp / "file");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size, 5u);
  EXPECT_FALSE(file->isFolder);
  EXPECT_FALSE(file->readOnly);
  auto link = platform::AttributesOf(tmp / "link");
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->isSymlink);
  chmod((tmp / "file").c_str(), 0444);
  EXPECT_TRUE(platform::AttributesOf(tmp / "file")->readOnly);
  EXPECT_TRUE(platform::IsFolder(tmp.path()));
  EXPECT_FALSE(platform::AttributesOf(tmp / "none"));
}

TEST(FilesPosixTest, FileOfUnknownSizeIsReadToItsEnd) {
  std::string out;
  EXPECT_EQ(platform::ReadWholeFile("/proc/self/status", 1 << 20, out), platform::ReadResult::kOk);
  EXPECT_NE(out.find("Name:"), std::string::npos);
  EXPECT_EQ(platform::ReadWholeFile("/proc/self/status", 10, out), platform::ReadResult::kTooLarge);
}

}  // namespace
