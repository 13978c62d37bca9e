// Release folders with what only Linux file systems hold: names with '?',
// '\', '<' or a line break, names Windows keeps for devices or that differ
// only in letter case, and symbolic links. Each is refused and nothing is
// published. Secret keys are readable by their owner only, and only a file
// that is sure to hold the secret key signs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "engine/list_signature.h"
#include "tests/support/temp_folder.h"
#include "tools/publish/publisher.h"
#include "tools/publish/vendor_key.h"

namespace {

TEST(PublishPosixTest, RefusesNamesAndLinksTheUpdaterCannotFetch) {
  const std::pair<std::string, std::string> cases[] = {  // file, error
      {"what?.txt", "contains '?'"},
      {"back\\slash.txt", "contains '\\'"},
      {"x\nnewline.txt", "control character"},
      {"a<b.txt", "contains '<'"},
      {"sub/NUL.dat", "device name"},
      {"trailing./x.txt", "ends in '.'"},
      {"OK.TXT", "differ only in letter case"},
      {"\xC3\x84.txt|\xC3\xA4.txt", "differ only in letter case"},  // Ä and ä, as Windows folds them
      {"Ok.txt/inside.txt", "from a folder"},
      {"link.exe", "symbolic link"}};
  for (const auto& [file, error] : cases) {
    testsupport::TempFolder scratch;
    testsupport::WriteFile(scratch / "release/ok.txt", "fine");
    if (file == "link.exe") {
      ASSERT_EQ(symlink("ok.txt", (scratch / "release/link.exe").c_str()), 0);
    } else {
      // "|" joins two files of one case.
      for (std::size_t at = 0, bar; at <= file.size(); at = bar + 1) {
        bar = std::min(file.find('|', at), file.size());
        testsupport::WriteFile(scratch / ("release/" + file.substr(at, bar - at)), "x");
      }
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
  auto read = publish::ReadSecretKey(scratch / "vendor.key", error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(read->publicKey, key.publicKey) << "derived from the secret key";

  // A key file of an earlier publish (bare digits) is taken beside its
  // matching ".pub" only.
  const std::string secret = testsupport::ReadFile(scratch / "vendor.key"),
                    publicFile = testsupport::ReadFile(scratch / "vendor.key.pub");
  const std::string digits = secret.substr(publish::kSecretKeyPrefix.size(), 64);
  const struct {
    const char* name;
    std::string secretText, publicText;  // "" for no ".pub"
    int mode;
    const char* error;  // "" when it is taken
  } cases[] = {
      {"the public key file", publicFile, "", 0600, "holds the public key"},
      {"readable by the group", secret, "", 0640, "read by others"},
      {"readable by all", secret, "", 0604, "read by others"},
      {"no public file", secret, "", 0600, ""},
      {"another public key beside it", secret,
       std::string(publish::kPublicKeyPrefix) + engine::NewSigningKey()->publicKey + "\n", 0600, "does not belong"},
      {"old bare files", digits + "\r\n", key.publicKey + "\n", 0600, ""},
      {"old bare public key as secret", key.publicKey + "\n", "", 0600, "without saying which key"},
      {"old bare secret, no public file", digits + "\n", "", 0600, "without saying which key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder folder;
    const std::string file = folder / "k";
    testsupport::WriteFile(file, c.secretText);
    ASSERT_EQ(chmod(file.c_str(), static_cast<mode_t>(c.mode)), 0);
    if (!c.publicText.empty()) testsupport::WriteFile(file + ".pub", c.publicText);
    error.clear();
    auto taken = publish::ReadSecretKey(file, error);
    EXPECT_EQ(taken.has_value(), !*c.error) << error;
    if (taken) {
      EXPECT_EQ(taken->secretKey, digits);
    }
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

}  // namespace
