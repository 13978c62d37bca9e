#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "tests/support/temp_folder.h"

namespace {

using State = platform::InstanceGuard::State;

class InstanceGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"})
      if (const char* old = getenv(name)) saved_[name] = old;
    runtime_ = tmp_ / "run";
    mkdir(runtime_.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
      if (saved_.count(name)) setenv(name, saved_[name].c_str(), 1);
      else unsetenv(name);
    }
  }

  testsupport::TempFolder tmp_;
  std::string runtime_;
  std::map<std::string, std::string> saved_;
};

TEST_F(InstanceGuardTest, OneHolderAtATime) {
  auto first = platform::InstanceGuard::Acquire("@TLV-DVD Update@\r\n");
  ASSERT_EQ(first.state(), State::kAcquired);
  auto second = platform::InstanceGuard::Acquire("@TLV-DVD Update@\r\n");
  EXPECT_EQ(second.state(), State::kHeldElsewhere);
  auto other = platform::InstanceGuard::Acquire("another program");
  EXPECT_EQ(other.state(), State::kAcquired);
  platform::InstanceGuard moved = std::move(first);
  EXPECT_EQ(platform::InstanceGuard::Acquire("@TLV-DVD Update@\r\n").state(), State::kHeldElsewhere);
  moved.Release();
  EXPECT_EQ(platform::InstanceGuard::Acquire("@TLV-DVD Update@\r\n").state(), State::kAcquired);
}

TEST_F(InstanceGuardTest, ForeignRuntimeFolderFallsBackToAPrivateOne) {
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
