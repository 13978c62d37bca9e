#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/facts.h"
#include "settings/app_paths.h"

namespace {

// `path` ("/"-separated) with the system's separators.
std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '/', platform::kPathSeparator);
  return path;
}

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
  for (const Case& c : cases) EXPECT_EQ(settings::ParkedCopyPath(Native(c.program)), Native(c.parked)) << c.program;
}

TEST(AppPathsTest, FolderAndFileName) {
  EXPECT_EQ(settings::FolderOf(Native("/a/b.c/d")), Native("/a/b.c/"));
  EXPECT_EQ(settings::FolderOf("d"), "");
  EXPECT_EQ(settings::FileNameOf(Native("/a/b.c/d")), "d");
  EXPECT_EQ(settings::FileNameOf(Native("/a/b/")), "");
}

}  // namespace
