#include <gtest/gtest.h>

#include "settings/app_paths.h"

namespace {

TEST(AppPathsTest, ParkedCopyTakesTheExtensionOfTheFileNameOnly) {
  struct Case {
    const char* program;
    const char* parked;
  } cases[] = {
      {"/opt/tolvaro/Harbinor.exe", "/opt/tolvaro/Harbinor.old"},
      {"/opt/tolvaro/Harbinor", "/opt/tolvaro/Harbinor.old"},
      {"/home/u/.local/tolvaro/Harbinor", "/home/u/.local/tolvaro/Harbinor.old"},
      {"/srv/app.d/Harbinor", "/srv/app.d/Harbinor.old"},
      {"/srv/app.d/Harbinor.bin.exe", "/srv/app.d/Harbinor.bin.old"},
      {"Harbinor", "Harbinor.old"},
  };
  for (const Case& c : cases) EXPECT_EQ(settings::ParkedCopyPath(c.program), c.parked) << c.program;
}

TEST(AppPathsTest, FolderAndFileName) {
  EXPECT_EQ(settings::FolderOf("/a/b.c/d"), "/a/b.c/");
  EXPECT_EQ(settings::FolderOf("d"), "");
  EXPECT_EQ(settings::FileNameOf("/a/b.c/d"), "d");
  EXPECT_EQ(settings::FileNameOf("/a/b/"), "");
}

}  // namespace
