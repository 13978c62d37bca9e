#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "installer/install_dialog.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_folder.h"

namespace {

using installer::DialogResult;
using installer::InstallDialog;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

class InstallDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { window_.realSleepUsPerWait = 200; }

  std::string app() const { return root_.path() + "/"; }

  installer::InstallServices Services() {
    installer::InstallServices s;
    s.applicationFolder = app();
    s.text = [](std::uint32_t id) { return "text " + std::to_string(id); };
    s.sleep = [this](std::uint32_t ms) {
      sleeps_ += 1;
      if (onSleep_) onSleep_(ms);
    };
    return s;
  }

  void Stage(const std::string& relative, const std::string& content) { WriteFile(app() + "dvd/" + relative, content); }
  void Pending() { WriteFile(app() + "dvd/@update@.log", ""); }

  // An installed Tolvaro that runs (a copy of sleep), so that its file
  // cannot be opened for writing; the caller ends it.
  pid_t StartRunningTolvaro() {
    testsupport::CopyFile("/bin/sleep", app() + "Tolvaro");
    chmod((app() + "Tolvaro").c_str(), 0755);
    pid_t running = fork();
    if (running == 0) {
      execl((app() + "Tolvaro").c_str(), "Tolvaro", "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    EXPECT_TRUE(testsupport::WaitFor([&] {
      return !platform::File::Open(app() + "Tolvaro", platform::OpenMode::kWriteExisting).IsOpen();
    }, 3000));
    return running;
  }

  DialogResult Run() {
    InstallDialog dialog(window_, Services());
    DialogResult r = dialog.RunModal();
    total_ = dialog.totalBytes();
    copied_ = dialog.copiedBytes();
    return r;
  }

  testsupport::TempFolder root_;
  testsupport::FakeWindow window_;
  int sleeps_ = 0;
  std::function<void(std::uint32_t)> onSleep_;
  std::uint32_t total_ = 0, copied_ = 0;
};

TEST_F(InstallDialogTest, NothingPendingEndsWithOkAndTouchesNothing) {
  Stage("Tolvaro", "new");
  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_FALSE(window_.everShown());
  EXPECT_EQ(ReadFile(app() + "dvd/Tolvaro"), "new");
  EXPECT_FALSE(PathExists(app() + "Tolvaro"));
}

TEST_F(InstallDialogTest, OnlyTheUpdateLogCleansUp) {
  Pending();
  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_EQ(window_.ProgressRange(), 0);
  EXPECT_FALSE(PathExists(app() + "dvd"));
}

TEST_F(InstallDialogTest, InstallsTheStagedTree) {
  std::string exact(4096, 'x'), big(10000, 'b');
  WriteFile(app() + "readme.txt", "old readme");
  WriteFile(app() + "Harbinor", "old updater");
  Stage("readme.txt", "new readme");
  Stage("exact.bin", exact);  // copied in two steps, the second reading nothing
  Stage("big.bin", big);
  Stage("empty.txt", "");
  Stage("Harbinor", "new updater");
  Stage("Language/Deutsch.ini", "deutsch");      // a folder that does not exist yet
  Stage("Language/more/zz-empty.txt", "");       // empty, deep
  Stage("Language/@update@.log", "not a file to install");
  Stage(".hidden", "never installed");
  ASSERT_EQ(symlink("/etc/passwd", (app() + "dvd/link.txt").c_str()), 0);
  Pending();

  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_TRUE(window_.everShown());
  EXPECT_EQ(window_.Title(), "Tolvaro copying updated files...");
  EXPECT_EQ(total_, 10u + 4096 + 10000 + 11 + 7);
  EXPECT_EQ(copied_, total_);
  EXPECT_EQ(window_.Progress(), static_cast<std::int32_t>(total_));
  EXPECT_EQ(ReadFile(app() + "readme.txt"), "new readme");
  EXPECT_EQ(ReadFile(app() + "exact.bin"), exact);
  EXPECT_EQ(ReadFile(app() + "big.bin"), big);
  EXPECT_TRUE(PathExists(app() + "empty.txt"));
  EXPECT_EQ(ReadFile(app() + "Language/Deutsch.ini"), "deutsch");
  EXPECT_TRUE(PathExists(app() + "Language/more/zz-empty.txt"));
  EXPECT_FALSE(PathExists(app() + "Language/@update@.log"));
  EXPECT_FALSE(PathExists(app() + "link.txt")) << "links are neither listed nor installed";
  EXPECT_FALSE(PathExists(app() + ".hidden"));
  // The updater is replaced by a rename; the old one keeps its parked name.
  EXPECT_EQ(ReadFile(app() + "Harbinor"), "new updater");
  EXPECT_EQ(ReadFile(app() + "Harbinor.old"), "old updater");
  EXPECT_FALSE(PathExists(app() + "Harbinor.new~"));
  // What is left in the staging folder keeps it there; the log is gone.
  EXPECT_TRUE(PathExists(app() + "dvd/link.txt"));
  std::remove((app() + "dvd/link.txt").c_str());
  EXPECT_EQ(testsupport::ListTree(app() + "dvd"), ".hidden\nLanguage/\nLanguage/@update@.log\n");
}

TEST_F(InstallDialogTest, ReadOnlyTargetAsksAndTheAnswerIsTheResult) {
  for (auto answer : {ui::Answer::kOk, ui::Answer::kCancel}) {
    testsupport::FakeWindow window;
    WriteFile(app() + "locked.txt", "old");
    chmod((app() + "locked.txt").c_str(), 0444);
    Stage("a.txt", "a");
    Stage("locked.txt", "new");
    Pending();
    window.answers.push_back(answer);
    InstallDialog dialog(window, Services());
    DialogResult r = dialog.RunModal();
    EXPECT_EQ(r, answer == ui::Answer::kOk ? DialogResult::kOk : DialogResult::kCancel);
    ASSERT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(window.boxes()[0].text, "text 131");
    EXPECT_EQ(window.boxes()[0].caption, "text 130");
    EXPECT_FALSE(window.everShown()) << "the box belongs to the hidden window";
    EXPECT_FALSE(PathExists(app() + "a.txt")) << "nothing is copied after a failed check";
    EXPECT_TRUE(PathExists(app() + "dvd/@update@.log"));
  }
}

TEST_F(InstallDialogTest, NewFolderPassesTheCheckWithoutLeavingAnything) {
  Stage("Plugins/Effects/glow.dat", "glow");
  Pending();
  InstallDialog dialog(window_, Services());
  dialog.CollectStagedFiles(dialog.StagingFolder());
  EXPECT_TRUE(dialog.CheckTargetsWritable());
  EXPECT_EQ(testsupport::ListTree(root_.path()), "dvd/\ndvd/@update@.log\ndvd/Plugins/\ndvd/Plugins/Effects/\n"
                                                 "dvd/Plugins/Effects/glow.dat\n");
}

TEST_F(InstallDialogTest, RunningProgramIsLockedUntilItEnds) {
  // On Linux a running program's file cannot be opened for writing.
  Stage("Tolvaro", "new editor");
  Pending();
  pid_t running = StartRunningTolvaro();
  // It ends during the retries: the check passes and the copy goes on.
  onSleep_ = [&](std::uint32_t) {
    if (sleeps_ == 3) {
      kill(running, SIGKILL);
      waitpid(running, nullptr, 0);
    }
  };
  EXPECT_EQ(Run(), DialogResult::kOk);
  EXPECT_GE(sleeps_, 3);
  EXPECT_LE(sleeps_, 5);
  EXPECT_EQ(ReadFile(app() + "Tolvaro"), "new editor");
}

TEST_F(InstallDialogTest, LockedForGoodFailsAfterTwentyFiveRetries) {
  Stage("Tolvaro", "new editor");
  Pending();
  pid_t running = StartRunningTolvaro();
  window_.answers.push_back(ui::Answer::kCancel);
  EXPECT_EQ(Run(), DialogResult::kCancel);
  kill(running, SIGKILL);
  waitpid(running, nullptr, 0);
  EXPECT_EQ(sleeps_, 25);
  EXPECT_EQ(window_.boxes().size(), 1u);
  EXPECT_EQ(ReadFile(app() + "dvd/Tolvaro"), "new editor");
}

TEST_F(InstallDialogTest, FailedCopyEndsWithCancelAndTheNextRunFinishes) {
  Stage("a.txt", "aaa");
  Stage("b/c.txt", "ccc");
  Pending();
  WriteFile(app() + "b", "a file where a folder must go");
  // The check passes (b exists, it is only not a folder); the copy stops at
  // b/c.txt.
  window_.answers.push_back(ui::Answer::kCancel);
  DialogResult first = Run();
  EXPECT_EQ(first, DialogResult::kCancel);
  EXPECT_TRUE(PathExists(app() + "dvd/@update@.log"));
  EXPECT_TRUE(PathExists(app() + "dvd/b/c.txt"));

  std::remove((app() + "b").c_str());
  testsupport::FakeWindow again;
  again.realSleepUsPerWait = 200;
  InstallDialog dialog(again, Services());
  EXPECT_EQ(dialog.RunModal(), DialogResult::kOk);
  EXPECT_EQ(ReadFile(app() + "a.txt"), "aaa");
  EXPECT_EQ(ReadFile(app() + "b/c.txt"), "ccc");
  EXPECT_FALSE(PathExists(app() + "dvd")) << "emptied folders and the staging folder are removed";
}

TEST_F(InstallDialogTest, StepsOfTheCopyWorker) {
  Stage("four.bin", std::string(4096, 'f'));
  Stage("zero.bin", "");
  InstallDialog dialog(window_, Services());
  ASSERT_EQ(dialog.CollectStagedFiles(dialog.StagingFolder()), 4096u);
  std::vector<std::string> order;
  for (const auto& f : dialog.stagedFiles()) order.push_back(f.substr(f.rfind('/') + 1));
  int steps = 0;
  while (dialog.CopyNextChunk()) ++steps;
  ++steps;
  // 4096 bytes take two steps (the second reads nothing); the empty file one.
  EXPECT_EQ(steps, 3);
  EXPECT_EQ(dialog.copiedBytes(), 4096u);
  EXPECT_EQ(ReadFile(app() + "four.bin"), std::string(4096, 'f'));
  EXPECT_TRUE(PathExists(app() + "zero.bin"));
  EXPECT_FALSE(PathExists(app() + "dvd/four.bin"));
  EXPECT_FALSE(dialog.CopyNextChunk());
  EXPECT_EQ(dialog.TargetPath(app() + "dvd/Language/x.ini"), app() + "Language/x.ini");
  EXPECT_FALSE(dialog.TargetPath("/elsewhere/x.ini"));
  EXPECT_FALSE(dialog.TargetPath(app() + "dvdx/x.ini"));
}

TEST_F(InstallDialogTest, AFileThatCannotBeFinishedIsNoSuccess) {
  // Every byte gets written, but the new updater cannot take its place (a
  // folder stands there): the counts agree, the install did not happen.
  mkdir((app() + "Harbinor").c_str(), 0755);
  WriteFile(app() + "Harbinor/keep", "x");
  Stage("Harbinor", "new updater");
  Pending();
  EXPECT_EQ(Run(), DialogResult::kCancel);
  EXPECT_EQ(copied_, total_);
  EXPECT_TRUE(PathExists(app() + "dvd/@update@.log")) << "the next run must try again";
  EXPECT_EQ(ReadFile(app() + "dvd/Harbinor"), "new updater");
}

TEST_F(InstallDialogTest, ProgramsStayPrograms) {
  WriteFile(app() + "tool", "old tool");
  chmod((app() + "tool").c_str(), 0755);
  Stage("tool", "new tool, no magic");          // was executable: stays so
  Stage("script.sh", "#!/bin/sh\necho hi\n");   // new, begins like a program
  Stage("Plugins/codec.so", std::string("\x7F" "ELF", 4) + std::string(5000, '\0'));
  Stage("notes.txt", "just text");
  Pending();
  EXPECT_EQ(Run(), DialogResult::kOk);
  for (const char* f : {"tool", "script.sh", "Plugins/codec.so"})
    EXPECT_TRUE(platform::AttributesOf(app() + f)->executable) << f;
  EXPECT_FALSE(platform::AttributesOf(app() + "notes.txt")->executable);
}

}  // namespace
