// Release folders with what only Linux file systems hold: names with '?',
// '\', '<' or a line break, names Windows keeps for devices or that differ
// only in letter case, and symbolic links. Each is refused and nothing is
// published. Secret keys are readable by their owner only.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"
#include "tools/publish/publisher.h"
#include "tools/publish/vendor_key.h"

namespace {

TEST(PublishPosixTest, RefusesNamesAndLinksTheUpdaterCannotFetch) {
  const std::pair<std::string, std::string> cases[] = {  // file, error
      {"what?.txt", "contains '?'"},
      {"back\\slash.txt", "contains '\\'"},
      {"x\nnewline.txt", "not a plain relative path"},
      {"a<b.txt", "contains '<'"},
      {"sub/NUL.dat", "device name"},
      {"trailing./x.txt", "ends in '.'"},
      {"OK.TXT", "differ only in letter case"},
      {"Ok.txt/inside.txt", "from a folder"},
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

TEST(PublishPosixTest, SecretKeyIsTheOwnersOnly) {
  testsupport::TempFolder scratch;
  auto key = publish::WriteNewKey(scratch / "vendor.key");
  ASSERT_EQ(key.publicKey.size(), 64u) << key.error;
  struct stat st {};
  ASSERT_EQ(stat((scratch / "vendor.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string error;
  EXPECT_TRUE(publish::ReadSecretKey(scratch / "vendor.key", error)) << error;
}

}  // namespace
