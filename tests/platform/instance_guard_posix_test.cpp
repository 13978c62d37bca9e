// Where the guard of a Linux system lives: the runtime folder, or a private
// folder in the temporary folder.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "tests/support/temp_folder.h"

namespace {

using State = platform::InstanceGuard::State;

// The guards of every test of this program live in a runtime folder of its
// own, so that no copy of the real program running beside the tests can
// hold one of them.
class PrivateRuntimeFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    folder_ = std::make_unique<testsupport::TempFolder>();
    if (const char* old = getenv("XDG_RUNTIME_DIR")) saved_ = old;
    setenv("XDG_RUNTIME_DIR", folder_->path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_) setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
    else unsetenv("XDG_RUNTIME_DIR");
    folder_.reset();
  }

 private:
  std::unique_ptr<testsupport::TempFolder> folder_;
  std::optional<std::string> saved_;
};
::testing::Environment* const kPrivateRuntimeFolder = ::testing::AddGlobalTestEnvironment(new PrivateRuntimeFolder);

class GuardFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"})
      if (const char* old = getenv(name)) saved_[name] = old;
  }
  void TearDown() override {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
      if (saved_.count(name)) setenv(name, saved_[name].c_str(), 1);
      else unsetenv(name);
    }
  }

  testsupport::TempFolder tmp_;
  std::map<std::string, std::string> saved_;
};

TEST_F(GuardFolderTest, ForeignRuntimeFolderFallsBackToAPrivateOne) {
  // A runtime folder that is not the user's own is not trusted; the guard
  // still works through the private fallback folder.
  setenv("XDG_RUNTIME_DIR", "relative/path", 1);
  setenv("TMPDIR", tmp_.path().c_str(), 1);
  auto first = platform::InstanceGuard::Acquire("guard-test-fallback");
  ASSERT_EQ(first.state(), State::kAcquired);
  EXPECT_EQ(platform::InstanceGuard::Acquire("guard-test-fallback").state(), State::kHeldElsewhere);
  struct stat st;
  ASSERT_EQ(stat((tmp_ / ("harbinor-" + std::to_string(getuid()))).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A fallback folder that others can write is not used.
  first.Release();
  chmod((tmp_ / ("harbinor-" + std::to_string(getuid()))).c_str(), 0777);
  EXPECT_EQ(platform::InstanceGuard::Acquire("guard-test-fallback").state(), State::kUnavailable);
}

}  // namespace
