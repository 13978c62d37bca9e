// The install window on what only Windows has: a file that another program
// holds open without sharing it for writing or deleting is in use.
#include <windows.h>

#include <string>
#include <utility>

#include "tests/installer/install_dialog_test.h"

namespace installtest {
namespace {

struct Held {
  const char* name;
  std::string installed;  // the file the update replaces
  std::string held;       // the file held open while the window runs
  int releasedAtRetry;    // 0: held to the end
  DialogResult result;
  int retries;
};

class HeldFileTest : public InstallDialogTest, public ::testing::WithParamInterface<Held> {};

TEST_P(HeldFileTest, IsInUseUntilReleased) {
  const Held& c = GetParam();
  WriteFile(At(c.installed), "old");
  WriteFile(At(c.held), "old");
  Stage(c.installed, "new");
  Pending();
  // Read access, shared for reading only.
  HANDLE held = CreateFileA(At(c.held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  onSleep_ = [&](std::uint32_t) {
    if (sleeps_ == c.releasedAtRetry) CloseHandle(std::exchange(held, INVALID_HANDLE_VALUE));
  };
  window_.answers.push_back(ui::Answer::kCancel);
  EXPECT_EQ(Run(), c.result);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  EXPECT_EQ(sleeps_, c.retries);
  bool installed = c.result == DialogResult::kOk;
  // Whether the check or the copy meets the held file, the user is asked.
  EXPECT_EQ(window_.boxes().size(), installed ? 0u : 1u);
  EXPECT_EQ(ReadFile(At(c.installed)), installed ? "new" : "old");
  EXPECT_EQ(PathExists(At("dvd/@update@.log")), !installed);
  EXPECT_FALSE(PathExists(At(c.installed) + ".new~"));
}

INSTANTIATE_TEST_SUITE_P(
    InstallDialog, HeldFileTest,
    ::testing::Values(
        // The check retries until the file is let go, then the copy goes on.
        Held{"ReleasedDuringTheCheck", kMainAppFileName, kMainAppFileName, 3, DialogResult::kOk, 3},
        // Held for good: after the retries, the failure question.
        Held{"HeldForGood", kMainAppFileName, kMainAppFileName, 0, DialogResult::kCancel, installer::kOpenRetries},
        // The older parked copy cannot be deleted: the updater cannot move
        // aside, its file stays in place, and the next run tries again.
        Held{"ParkedCopyHeld", kUpdaterFileName, platform::kParkedUpdaterFileName, 0, DialogResult::kCancel, 0}),
    [](const ::testing::TestParamInfo<Held>& held) { return std::string(held.param.name); });

}  // namespace
}  // namespace installtest
