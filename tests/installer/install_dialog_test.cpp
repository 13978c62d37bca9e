#include "tests/installer/install_dialog_test.h"

#include <filesystem>

#include "engine/download_worker.h"

namespace installtest {
namespace {

// Sets or clears the file's read-only state (no write permission bit for
// anyone on Linux, the read-only attribute on Windows).
void SetReadOnly(const std::string& path, bool readOnly) {
  namespace fs = std::filesystem;
  constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(path, readOnly ? kWrite : fs::perms::owner_write,
                  readOnly ? fs::perm_options::remove : fs::perm_options::add);
}

TEST_F(InstallDialogTest, NothingPendingEndsWithOkAndTouchesNoStagedFile) {
  Stage(kMainAppFileName, "new");
  // What a run killed between deleting the update log and removing the
  // emptied folders leaves.
  std::filesystem::create_directories(At("dvd/Language/effects"));
  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_FALSE(window_.everShown());
  EXPECT_EQ(ReadFile(At("dvd/") + kMainAppFileName), "new");
  EXPECT_FALSE(PathExists(At(kMainAppFileName)));
  EXPECT_FALSE(PathExists(At("dvd/Language")));
}

TEST_F(InstallDialogTest, OnlyTheUpdateLogCleansUp) {
  Pending();
  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_EQ(window_.ProgressRange(), 0);
  EXPECT_FALSE(PathExists(At("dvd")));
}

TEST_F(InstallDialogTest, InstallsTheStagedTree) {
  std::string exact(4096, 'x'), big(10000, 'b');
  WriteFile(At("readme.txt"), "old readme");
  // The updater runs, as it does when it installs itself.
  auto updater = StartRunningCopy(kUpdaterFileName);
  std::string oldUpdater = ReadFile(At(kUpdaterFileName));
  // An older parked copy makes way, even a read-only one.
  WriteFile(At(platform::kParkedUpdaterFileName), "older");
  SetReadOnly(At(platform::kParkedUpdaterFileName), true);
  Stage("readme.txt", "new readme");
  Stage("exact.bin", exact);  // copied in two steps, the second reading nothing
  Stage("big.bin", big);
  Stage("empty.txt", "");
  Stage(kUpdaterFileName, "new updater");
  // A file of the updater's name elsewhere is a file like any other.
  WriteFile(At(std::string("sub/") + kUpdaterFileName), "old namesake");
  Stage(std::string("sub/") + kUpdaterFileName, "namesake");
  Stage("Language/Deutsch.ini", "deutsch");      // a folder that does not exist yet
  Stage("Language/more/zz-empty.txt", "");       // empty, deep
  Stage("Language/@update@.log", "not a file to install");
  Stage(".hidden", "dot");                // listed files whose names start with "."
  Stage(".config/settings.ini", "conf");
  // The download worker's temporary file is no staged file.
  std::string temporary = engine::WorkerTemporaryPath(At("dvd/big.bin"), "0123456789abcdef");
  WriteFile(temporary, "half");
  Pending();

  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_TRUE(window_.everShown());
  EXPECT_EQ(window_.Title(), "Tolvaro copying updated files...");
  EXPECT_EQ(total_, 10u + 4096 + 10000 + 11 + 8 + 7 + 3 + 4);
  EXPECT_EQ(copied_, total_);
  EXPECT_EQ(window_.Progress(), static_cast<std::int32_t>(total_));
  EXPECT_EQ(ReadFile(At("readme.txt")), "new readme");
  EXPECT_EQ(ReadFile(At("exact.bin")), exact);
  EXPECT_EQ(ReadFile(At("big.bin")), big);
  EXPECT_TRUE(PathExists(At("empty.txt")));
  EXPECT_EQ(ReadFile(At("Language/Deutsch.ini")), "deutsch");
  EXPECT_TRUE(PathExists(At("Language/more/zz-empty.txt")));
  EXPECT_FALSE(PathExists(At("Language/@update@.log")));
  EXPECT_EQ(ReadFile(At(".hidden")), "dot");
  EXPECT_EQ(ReadFile(At(".config/settings.ini")), "conf");
  // The running updater's file is renamed aside and keeps the parked name;
  // the new one takes its place.
  EXPECT_EQ(ReadFile(At(kUpdaterFileName)), "new updater");
  EXPECT_EQ(ReadFile(At(platform::kParkedUpdaterFileName)), oldUpdater);
  EXPECT_FALSE(PathExists(At(kUpdaterFileName) + ".new~"));
  EXPECT_EQ(ReadFile(At(std::string("sub/") + kUpdaterFileName)), "namesake");
  EXPECT_FALSE(PathExists(At(std::string("sub/") + platform::kParkedUpdaterFileName)));
  // What is left in the staging folder keeps it there; the log is gone.
  EXPECT_EQ(testsupport::ListTree(At("dvd")), ".big.bin.0123456789abcdef.part\nLanguage/\nLanguage/@update@.log\n");
}

TEST_F(InstallDialogTest, TargetsAreWholeAtEveryStepAndLeftoversGo) {
  const std::string big(2 * installer::kCopyBlock + 5, 'n');
  WriteFile(At("big.bin"), "old big");
  WriteFile(At("Language/x.ini"), "old x");
  Stage("big.bin", big);
  Stage("Language/x.ini", "new x");
  Pending();
  auto whole = [&] {
    return (ReadFile(At("big.bin")) == "old big" || ReadFile(At("big.bin")) == big) &&
           (ReadFile(At("Language/x.ini")) == "old x" || ReadFile(At("Language/x.ini")) == "new x");
  };
  {
    // Cut short after the first file: each file is whole, the one not yet
    // installed still staged.
    installer::Installer cut = Install();
    cut.CollectStagedFiles(cut.StagingFolder());
    ASSERT_TRUE(cut.InstallNextStep());
    EXPECT_TRUE(whole());
    // Both staged names stay until the installed ones are on the disk.
    EXPECT_TRUE(PathExists(At("dvd/big.bin")) && PathExists(At("dvd/Language/x.ini")));
  }
  const bool bigInstalled = ReadFile(At("big.bin")) == big;
  EXPECT_NE(bigInstalled, ReadFile(At("Language/x.ini")) == "new x");
  // What a run cut short left under the installer's name of a file that is
  // no longer staged, beside the file still to be installed.
  WriteFile(engine::InstallingPath(At(bigInstalled ? "Language/gone.txt" : "gone.txt")), "stray");
  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_EQ(ReadFile(At("big.bin")), big);
  EXPECT_EQ(ReadFile(At("Language/x.ini")), "new x");
  EXPECT_EQ(testsupport::ListTree(root_.path()), "Language/\nLanguage/x.ini\nbig.bin\n");
}

TEST_F(InstallDialogTest, ReadOnlyTargetAsksAndTheAnswerIsTheResult) {
  for (auto answer : {ui::Answer::kOk, ui::Answer::kCancel}) {
    testsupport::FakeWindow window;
    WriteFile(At("locked.txt"), "old");
    SetReadOnly(At("locked.txt"), true);
    Stage("a.txt", "a");
    Stage("locked.txt", "new");
    Pending();
    window.answers.push_back(answer);
    InstallDialog dialog(window, Services());
    DialogResult r = dialog.RunModal();
    SetReadOnly(At("locked.txt"), false);
    EXPECT_EQ(r, answer == ui::Answer::kOk ? DialogResult::kOk : DialogResult::kCancel);
    ASSERT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(window.boxes()[0].text, "text 143\n\ntext 131") << "which file, and why";
    EXPECT_EQ(window.boxes()[0].caption, "text 130");
    EXPECT_FALSE(window.everShown()) << "the box belongs to the hidden window";
    EXPECT_FALSE(PathExists(At("a.txt"))) << "nothing is copied after a failed check";
    EXPECT_TRUE(PathExists(At("dvd/@update@.log")));
  }
}

TEST_F(InstallDialogTest, WithoutTheRightsACopyWithThemInstallsOrTheUserIsTold) {
  using R = platform::ElevationResult;
  struct Case {
    std::optional<platform::ElevatedRun> elevation;  // none: this copy may not ask, and installs itself
    DialogResult result;                             // the box, when there is one, is answered Cancel
    std::string box;
  };
  const Case kCases[] = {
      {platform::ElevatedRun{R::kEnded, 0}, DialogResult::kOk, ""},
      {platform::ElevatedRun{R::kEnded, 1}, DialogResult::kCancel, ""},
      {platform::ElevatedRun{R::kRefused}, DialogResult::kCancel, "text 142\n\ntext 146"},
      {platform::ElevatedRun{R::kUnavailable}, DialogResult::kCancel, "text 142\n\ntext 139\n\ntext 146"},
      {std::nullopt, DialogResult::kOk, ""},
  };
  for (const Case& c : kCases) {
    Stage("a.txt", "new a");
    Pending();
    testsupport::FakeWindow window;
    window.realSleepUsPerWait = 200;
    ui::InstallServices services = Services();
    services.checkAccess = [](const std::string& folder) {
      return engine::FolderAccess{false, platform::FailureCause::kNoRights, folder};
    };
    std::vector<std::string> asked;
    if (c.elevation)
      services.runElevated = [&](const std::vector<std::string>& step) { asked = step; return *c.elevation; };
    services.administratorCommand = [](const std::vector<std::string>&) { return "command"; };
    EXPECT_EQ(InstallDialog(window, std::move(services)).RunModal(), c.result) << c.box;
    EXPECT_EQ(asked, c.elevation ? std::vector<std::string>{"/u"} : std::vector<std::string>{});
    EXPECT_EQ(window.boxes().empty() ? "" : window.boxes()[0].text, c.box);
    EXPECT_NE(PathExists(At("a.txt")), c.elevation.has_value()) << "installed here only without a copy to ask";
    std::filesystem::remove_all(At("dvd"));
    std::filesystem::remove(At("a.txt"));
  }
}

TEST_F(InstallDialogTest, NewFolderPassesTheCheckWithoutLeavingAnything) {
  Stage("Plugins/Effects/glow.dat", "glow");
  Pending();
  installer::Installer install = Install();
  install.CollectStagedFiles(install.StagingFolder());
  EXPECT_TRUE(install.CheckTargetsWritable());
  EXPECT_EQ(testsupport::ListTree(root_.path()), "dvd/\ndvd/@update@.log\ndvd/Plugins/\ndvd/Plugins/Effects/\n"
                                "dvd/Plugins/Effects/glow.dat\n");
}

TEST_F(InstallDialogTest, RunningProgramIsLockedUntilItEnds) {
  // A running program's file cannot be opened for writing.
  Stage(kMainAppFileName, "new editor");
  Pending();
  auto running = StartRunningCopy(kMainAppFileName);
  // It ends during the retries: the check passes and the copy goes on.
  onSleep_ = [&](std::uint32_t) {
    if (sleeps_ == 3) running.reset();
  };
  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_GE(sleeps_, 3);
  EXPECT_LE(sleeps_, 5);
  EXPECT_EQ(ReadFile(At(kMainAppFileName)), "new editor");
}

TEST_F(InstallDialogTest, LockedForGoodFailsAfterTwentyFiveRetries) {
  Stage(kMainAppFileName, "new editor");
  Pending();
  auto running = StartRunningCopy(kMainAppFileName);
  window_.answers.push_back(ui::Answer::kCancel);
  EXPECT_EQ(Run(), DialogResult::kCancel);
  running.reset();
  EXPECT_EQ(sleeps_, 25);
  EXPECT_EQ(window_.boxes().size(), 1u);
  EXPECT_EQ(ReadFile(At("dvd/") + kMainAppFileName), "new editor");
}

TEST_F(InstallDialogTest, FailedCopyEndsWithCancelAndTheNextRunFinishes) {
  Stage("a.txt", "aaa");
  Stage("b/c.txt", "ccc");
  Pending();
  WriteFile(At("b"), "a file where a folder must go");
  // b exists but is no folder, so b/c.txt cannot be made: the check asks,
  // and the answer ends the run before anything is copied.
  window_.answers.push_back(ui::Answer::kCancel);
  DialogResult first = Run();
  EXPECT_EQ(first, DialogResult::kCancel);
  EXPECT_EQ(window_.boxes().size(), 1u);
  EXPECT_FALSE(PathExists(At("a.txt")));
  EXPECT_TRUE(PathExists(At("dvd/@update@.log")));
  EXPECT_TRUE(PathExists(At("dvd/b/c.txt")));

  platform::RemoveFile(At("b"));
  testsupport::FakeWindow again;
  again.realSleepUsPerWait = 200;
  InstallDialog dialog(again, Services());
  EXPECT_EQ(dialog.RunModal(), DialogResult::kOk);
  EXPECT_EQ(ReadFile(At("a.txt")), "aaa");
  EXPECT_EQ(ReadFile(At("b/c.txt")), "ccc");
  EXPECT_FALSE(PathExists(At("dvd"))) << "emptied folders and the staging folder are removed";
}

TEST_F(InstallDialogTest, StepsOfTheInstall) {
  const std::string block(installer::kCopyBlock, 'f');
  Stage("four.bin", block);
  Stage("zero.bin", "");
  installer::Installer install = Install();
  ASSERT_EQ(install.CollectStagedFiles(install.StagingFolder()), block.size());
  int steps = 1;
  while (install.InstallNextStep()) ++steps;
  // Each file is renamed into place in one step.
  EXPECT_EQ(steps, 2);
  EXPECT_EQ(install.installedBytes(), block.size());
  EXPECT_EQ(ReadFile(At("four.bin")), block);
  EXPECT_TRUE(PathExists(At("zero.bin")));
  EXPECT_FALSE(install.InstallNextStep());
  // The staged names go once the installed folders are on the disk.
  EXPECT_TRUE(PathExists(At("dvd/four.bin")));
  EXPECT_TRUE(install.Finish());
  EXPECT_FALSE(PathExists(At("dvd/four.bin")));
  EXPECT_EQ(install.TargetPath(At("dvd/Language/x.ini")), At("Language/x.ini"));
  EXPECT_FALSE(install.TargetPath("/elsewhere/x.ini"));
  EXPECT_FALSE(install.TargetPath(At("dvdx/x.ini")));
}

}  // namespace
}  // namespace installtest
