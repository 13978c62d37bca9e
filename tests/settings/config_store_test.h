// The configuration store's tests: an application folder and a per-user
// folder in a temporary folder.
#pragma once

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/facts.h"
#include "platform/files.h"
#include "settings/config_store.h"
#include "tests/support/temp_folder.h"

inline constexpr const char* kDefaultServer = "http://update.tolvaro.example/tlv5.update/";
// What a test body returns when the system cannot set up its conditions.
inline constexpr int kSkip = 77;

class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::MakeFolder(appFolder()); }

  std::string appFolder() const { return root_ / "app"; }
  std::string userFolder() const { return root_ / "user/.config"; }

  settings::ConfigEnvironment Env(int osMajor = 6) {
    std::string user = userFolder();
    return settings::ConfigEnvironment{appFolder() + platform::kPathSeparator, osMajor,
                                       [user] { return std::optional<std::string>(user); }, kDefaultServer};
  }

  // Every "~@test@~.dat" left anywhere below the test's root.
  std::string LeftTestFiles() {
    std::string tree = testsupport::ListTree(root_.path()), found;
    std::size_t at = 0;
    while ((at = tree.find("~@test@~.dat", at)) != std::string::npos) found += tree.substr(at++, 12) + " ";
    return found;
  }

  testsupport::TempFolder root_;
};

// Runs `body` while no file can be made in the application folder's
// "Configs" (as in a folder the user may not write) and returns what it
// returns, or kSkip when the system cannot make it so. On Linux the body
// runs in a child process.
int WithConfigsUnwritable(const std::string& appFolder, const std::function<int()>& body);
