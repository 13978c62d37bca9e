// Release folders with what only Linux file systems hold: names with '?',
// '\' or a line break, and symbolic links. Each is refused and nothing is
// published.
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"
#include "tools/publish/publisher.h"

namespace {

TEST(PublishPosixTest, RefusesNamesAndLinksTheUpdaterCannotFetch) {
  const std::pair<std::string, std::string> cases[] = {  // file, error
      {"what?.txt", "contains '?'"},
      {"back\\slash.txt", "contains '\\'"},
      {"x\nnewline.txt", "not a plain relative path"},
      {"link.exe", "symbolic link"}};
  for (const auto& [file, error] : cases) {
    testsupport::TempFolder scratch;
    testsupport::WriteFile(scratch / "release/ok.txt", "fine");
    if (file == "link.exe") {
      ASSERT_EQ(symlink("ok.txt", (scratch / "release/link.exe").c_str()), 0);
    } else {
      testsupport::WriteFile(scratch / ("release/" + file), "x");
    }
    auto r = publish::Publish({scratch / "release", scratch / "out"});
    EXPECT_FALSE(r.ok) << file;
    ASSERT_FALSE(r.errors.empty()) << file;
    EXPECT_NE(r.errors[0].find(error), std::string::npos) << r.errors[0];
    EXPECT_FALSE(testsupport::PathExists(scratch / "out/tlv5.update/tlv5.php")) << "nothing is published";
  }
}

}  // namespace
