// Where the guard of a Linux system lives: a folder of the user's own found
// by the user id, whatever a session's environment says, and never one that
// someone else has made.
#include <pwd.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_folder.h"

namespace {

using State = platform::InstanceGuard::State;

// The guards of every test of this program live in a folder of its own, so
// that no copy of the real program running beside the tests can hold one of
// them.
class PrivateGuardFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    folder_ = std::make_unique<testsupport::TempFolder>();
    chmod(folder_->path().c_str(), 0700);
    setenv("HARBINOR_TEST_GUARD_FOLDER", folder_->path().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("HARBINOR_TEST_GUARD_FOLDER");
    folder_.reset();
  }

 private:
  std::unique_ptr<testsupport::TempFolder> folder_;
};
::testing::Environment* const kPrivateGuardFolder = ::testing::AddGlobalTestEnvironment(new PrivateGuardFolder);

struct Planted {
  const char* name;
  // Puts something at "/tmp/harbinor-<uid>" before the first start; false
  // when this system does not allow it.
  std::function<bool(const std::string& folder)> plant;
};

class GuardFolderTest : public ::testing::TestWithParam<Planted> {};

TEST_P(GuardFolderTest, IsTheUsersOwnInEverySession) {
  // In a child with a /tmp and a home folder of its own.
  int rc = testsupport::RunInChild([&] {
    const passwd* pw = getpwuid(getuid());
    if (!pw || !pw->pw_dir || std::string(pw->pw_dir) == "/") return 77;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0 || mount("tmpfs", pw->pw_dir, "tmpfs", 0, "mode=0755") != 0)
      return 77;
    unsetenv("HARBINOR_TEST_GUARD_FOLDER");
    const std::string folder = "/tmp/harbinor-" + std::to_string(getuid());
    if (mkdir("/tmp/elsewhere", 0700) != 0 || !GetParam().plant(folder)) return 77;
    int faults = 0;
    // Two sessions whose environments differ find the same guard.
    setenv("XDG_RUNTIME_DIR", "/tmp/elsewhere", 1);
    setenv("TMPDIR", "/tmp/elsewhere", 1);
    auto first = platform::InstanceGuard::Acquire("guard-test");
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("TMPDIR");
    if (first.state() != State::kAcquired) faults |= 1;
    if (platform::InstanceGuard::Acquire("guard-test").state() != State::kHeldElsewhere) faults |= 2;
    // Nothing goes where the environment or someone else's folder points.
    if (testsupport::ListTree("/tmp/elsewhere") != "") faults |= 4;
    struct stat st;
    if (lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_uid != getuid() || (st.st_mode & 022)) &&
        testsupport::ListTree(folder) != "")
      faults |= 8;
    return faults;
  });
  if (rc == 77) GTEST_SKIP() << "no mount namespace here, or this user cannot plant that";
  EXPECT_EQ(rc, 0) << "1 not acquired, 2 a second copy could run, 4 lock where the environment points, "
                      "8 lock in a folder that is not the user's alone";
}

INSTANTIATE_TEST_SUITE_P(
    InstanceGuard, GuardFolderTest,
    ::testing::Values(Planted{"Nothing", [](const std::string&) { return true; }},
                      Planted{"ALink",
                              [](const std::string& f) { return symlink("/tmp/elsewhere", f.c_str()) == 0; }},
                      Planted{"AFolderAnyoneMayWrite",
                              [](const std::string& f) { return mkdir(f.c_str(), 0700) == 0 && chmod(f.c_str(), 0777) == 0; }},
                      // Only root can give a folder away.
                      Planted{"SomeoneElsesFolder",
                              [](const std::string& f) {
                                return mkdir(f.c_str(), 0755) == 0 &&
                                       chown(f.c_str(), getuid() + 1000, getgid() + 1000) == 0;
                              }}),
    [](const ::testing::TestParamInfo<Planted>& p) { return std::string(p.param.name); });

}  // namespace
