// The install window on what only Linux has: symbolic links, permission
// bits, and a folder in the updater's place that no rename can move aside.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <vector>

#include "tests/installer/install_dialog_test.h"
#include "tests/support/forked_child.h"

namespace installtest {
namespace {

TEST_F(InstallDialogTest, LinksAreNeitherFollowedNorInstalledButReported) {
  testsupport::TempFolder outside;
  for (bool stagingIsLink : {false, true}) {
    SCOPED_TRACE(stagingIsLink ? "the staging folder a link" : "a link in the staging folder");
    const std::string staging = stagingIsLink ? outside.path() : At("dvd");
    WriteFile(staging + "/a.txt", "a");
    WriteFile(staging + "/empty/.keep", "");
    platform::RemoveFile(staging + "/empty/.keep");
    WriteFile(staging + "/@update@.log", "");
    ASSERT_EQ(stagingIsLink ? symlink(outside.path().c_str(), At("dvd").c_str())
                            : symlink("/etc/passwd", At("dvd/link.txt").c_str()), 0);
    std::size_t boxes = 0;
    for (int run = 0; run < 2; ++run) {
      testsupport::FakeWindow window;
      window.realSleepUsPerWait = 200;
      window.answers.push_back(ui::Answer::kOk);
      EXPECT_EQ(InstallDialog(window, Services()).RunModal(), DialogResult::kOk);
      boxes += window.boxes().size();
    }
    EXPECT_EQ(boxes, stagingIsLink ? 2u : 1u) << "reported at every run while it stays";
    EXPECT_FALSE(PathExists(At("link.txt")));
    // Nothing behind a linked staging folder is installed or removed; beside
    // a link, the rest is installed and the link stays.
    EXPECT_EQ(PathExists(At("a.txt")), !stagingIsLink);
    EXPECT_EQ(PathExists(staging + "/empty"), stagingIsLink);
    EXPECT_EQ(PathExists(staging + "/@update@.log"), stagingIsLink);
    EXPECT_TRUE(platform::AttributesOf(At(stagingIsLink ? "dvd" : "dvd/link.txt"))->isSymlink);
    std::filesystem::remove_all(At("dvd"));
    std::filesystem::remove(At("a.txt"));
  }
}

TEST_F(InstallDialogTest, AFileThatCannotBeFinishedIsNoSuccess) {
  // Every byte gets written, but the new updater cannot take its place (a
  // folder stands there): the counts agree, the install did not happen.
  mkdir(At("Harbinor").c_str(), 0755);
  WriteFile(At("Harbinor/keep"), "x");
  Stage("Harbinor", "new updater");
  Pending();
  EXPECT_EQ(Run(), DialogResult::kCancel);
  EXPECT_EQ(copied_, total_);
  EXPECT_TRUE(PathExists(At("dvd/@update@.log"))) << "the next run must try again";
  EXPECT_EQ(ReadFile(At("dvd/Harbinor")), "new updater");
  EXPECT_FALSE(PathExists(At("Harbinor.new~")));
}

TEST_F(InstallDialogTest, ProgramsStayPrograms) {
  WriteFile(At("tool"), "old tool");
  chmod(At("tool").c_str(), 0755);
  Stage("tool", "new tool, no magic");          // was executable: stays so
  Stage("script.sh", "#!/bin/sh\necho hi\n");   // new, begins like a program
  Stage("Plugins/codec.so", std::string("\x7F" "ELF", 4) + std::string(5000, '\0'));
  Stage("notes.txt", "just text");
  Pending();
  EXPECT_EQ(Run(), DialogResult::kOk);
  for (const char* f : {"tool", "script.sh", "Plugins/codec.so"})
    EXPECT_TRUE(platform::AttributesOf(At(f))->executable) << f;
  EXPECT_FALSE(platform::AttributesOf(At("notes.txt"))->executable);
}

TEST_F(InstallDialogTest, ReplacedFilesKeepTheirModeAndOwner) {
  struct Kept {
    const char* name;
    mode_t mode;
    std::string content;  // the new one
  };
  const Kept kept[] = {{"secret.ini", 0600, "s"}, {"tool", 0750, "plain text"},
                       {"lib.so", 0644, std::string("\x7F" "ELF", 4) + "rest"}, {"setgid-tool", 02755, "#!/bin/sh\n"}};
  // The owner and group are kept where the test may give files away (root).
  bool givenAway = true;
  for (const Kept& k : kept) {
    WriteFile(At(k.name), "old");
    givenAway = chown(At(k.name).c_str(), 1234, 5678) == 0 && givenAway;
    ASSERT_EQ(chmod(At(k.name).c_str(), k.mode), 0);
    Stage(k.name, k.content);
  }
  Stage("notes.txt", "new, not a program");
  Pending();
  // A program that has the old file open keeps reading the old file.
  int running = open(At("tool").c_str(), O_RDONLY);
  ASSERT_GE(running, 0);
  EXPECT_EQ(Run(), DialogResult::kOk);
  char old[4] = {};
  EXPECT_TRUE(pread(running, old, 3, 0) == 3 && std::string(old) == "old");
  close(running);
  struct stat st;
  for (const Kept& k : kept) {
    ASSERT_EQ(stat(At(k.name).c_str(), &st), 0);
    EXPECT_EQ(ReadFile(At(k.name)), k.content);
    EXPECT_EQ(st.st_mode & 07777, k.mode) << k.name;
    EXPECT_TRUE(!givenAway || (st.st_uid == 1234 && st.st_gid == 5678)) << k.name;
  }
  mode_t mask = umask(0);
  umask(mask);
  ASSERT_EQ(stat(At("notes.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << "a new file follows the umask";
}

// In a forked child: a file system of its own at `folder`, of 64 KiB unless
// `size` says otherwise.
bool MountSmallDiskHere(const std::string& folder, const char* size = "size=64k") {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("tmpfs", folder.c_str(), "tmpfs", 0, size) == 0;
}

TEST_F(InstallDialogTest, AcrossFileSystemsTheFileIsCopiedWholeAtEveryStep) {
  const std::string big(2 * installer::kCopyBlock + 5, 'n');
  mkdir(At("big").c_str(), 0755);
  Stage("big/data.bin", big);
  Stage("a.txt", "new a");
  Pending();
  int rc = testsupport::RunInChild([&] {
    // No rename reaches a file system of its own below the application folder.
    if (!MountSmallDiskHere(At("big"), "size=8m")) return 77;
    WriteFile(At("big/data.bin"), "old");
    installer::Installer install = Install();
    install.CollectStagedFiles(install.StagingFolder());
    int steps = 0, faults = 0;
    for (bool more = true; more; ++steps) {
      more = install.InstallNextStep();
      std::string now = ReadFile(At("big/data.bin"));
      if (now != "old" && now != big) faults |= 1;
    }
    if (steps != 1 + 3) faults |= 2;  // one rename, and a copy of three blocks
    if (!install.Finish() || ReadFile(At("big/data.bin")) != big || ReadFile(At("a.txt")) != "new a") faults |= 4;
    if (PathExists(At("dvd")) || testsupport::ListTree(At("big")) != "data.bin\n") faults |= 8;
    return faults;
  });
  if (rc == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(rc, 0) << "1 a target not whole, 2 not copied block by block, 4 not installed, 8 something left";
}

// In a forked child: the system calls named fail with `error`, as a file
// system or a policy that refuses them makes them fail.
bool RefuseCallsHere(std::vector<long> calls, int error) {
  std::vector<sock_filter> filter{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (long call : calls) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA)));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The install with its check, or the copy alone, as when the trouble begins
// after the check.
DialogResult RunInstall(InstallDialog& dialog, bool pastTheCheck) {
  if (!pastTheCheck) return dialog.RunModal();
  dialog.installer().CollectStagedFiles(dialog.installer().StagingFolder());
  dialog.installer().Run();
  dialog.OnCopyFinished();
  return dialog.result().value_or(DialogResult::kCancel);
}

struct Failure {
  const char* name;
  const char* staged;  // the file that cannot be installed, below dvd/
  const char* old;     // what must stay as it was ("old")
  // Makes the trouble; false when this system cannot.
  std::function<bool(const std::string& app)> setUp;
  bool pastTheCheck;   // the trouble begins after the check: the copy runs alone
  bool logStays;       // false: nothing left that a later run could install
  ui::Answer answer;
  const char* message = "text 131";  // the failure box's, with why when that is known
  bool installed = false;  // the file is in (only its staged copy stays)
};

class FailureTest : public InstallDialogTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailureTest, KeepsTheOldFileAndTheStagedCopyAndAsks) {
  const Failure& c = GetParam();
  mkdir(At("big").c_str(), 0755);
  Stage("a.txt", "new a");
  Pending();
  // Each step's fault, by its own bit.
  WriteFile(At(c.old), "old");
  Stage(c.staged, std::string(100000, 'n'));
  int rc = testsupport::RunInChild([&] {
    if (!c.setUp(app())) return 77;
    if (!PathExists(At(c.old))) WriteFile(At(c.old), "old");  // on a file system mounted over it
    window_.answers.push_back(c.answer);
    InstallDialog dialog(window_, Services());
    DialogResult result = RunInstall(dialog, c.pastTheCheck);
    int faults = 0;
    if (ReadFile(At(c.old)) != (c.installed ? std::string(100000, 'n') : "old")) faults |= 1;
    if (!PathExists(At("dvd/") + c.staged)) faults |= 2;
    if (window_.boxes().size() != 1 || window_.boxes()[0].text != c.message) faults |= 4;
    if (result != (c.answer == ui::Answer::kOk ? DialogResult::kOk : DialogResult::kCancel)) faults |= 8;
    if (PathExists(At("dvd/@update@.log")) != c.logStays) faults |= 16;
    if (testsupport::ListTree(app()).find(engine::kInstallingSuffix) != std::string::npos) faults |= 32;
    if (!c.logStays && ReadFile(At("a.txt")) != "new a") faults |= 64;
    return faults;
  });
  if (rc == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(rc, 0) << "1 old file changed, 2 staged copy gone, 4 no failure message, 8 wrong result, "
                      "16 update log, 32 a half-made file left, 64 the rest not installed";
}

INSTANTIATE_TEST_SUITE_P(
    InstallDialog, FailureTest,
    ::testing::Values(
        Failure{"ReadOnlyFolder", "big/data.bin", "big/data.bin",
                [](const std::string& app) { return testsupport::MakeFolderReadOnlyHere(app + "big"); }, true, true,
                ui::Answer::kOk},
        Failure{"FullDisk", "big/data.bin", "big/data.bin",
                [](const std::string& app) { return MountSmallDiskHere(app + "big"); }, false, true,
                ui::Answer::kCancel, "text 144\n\ntext 131"},
        // A listed file where a folder of that name is installed.
        Failure{"TargetIsAFolder", "big", "big/data.bin", [](const std::string&) { return true; }, true, true,
                ui::Answer::kCancel},
        // Never a file: it stays, the rest is installed.
        Failure{"FifoInTheStagingFolder", "pipe", "pipe",
                [](const std::string& app) {
                  return unlink((app + "dvd/pipe").c_str()) == 0 && mkfifo((app + "dvd/pipe").c_str(), 0644) == 0;
                }, false, false,
                ui::Answer::kOk},
        // A file that cannot get its permission bits is not installed.
        Failure{"PermissionsRefused", "big/data.bin", "big/data.bin",
                [](const std::string& app) {
                  // Bits that must change; ones already right need no call.
                  return chmod((app + "big/data.bin").c_str(), 0600) == 0 &&
                         RefuseCallsHere({SYS_fchmod, SYS_fchmodat}, EPERM);
                }, false, true,
                ui::Answer::kCancel, "text 143\n\ntext 131"},
        // Copied in, but its staged copy cannot go: a later run would take
        // it again, so the update log stays and the user is told.
        Failure{"StagedCopyStays", "big/data.bin", "big/data.bin",
                [](const std::string& app) {
                  return MountSmallDiskHere(app + "big", "size=1m") &&
                         RefuseCallsHere({SYS_unlink, SYS_unlinkat}, EBUSY);
                }, true, true,
                ui::Answer::kCancel, "text 145\n\ntext 131", true}),
    [](const ::testing::TestParamInfo<Failure>& f) { return std::string(f.param.name); });

TEST_F(InstallDialogTest, NothingIsWrittenThroughALinkedFolder) {
  // Whether the link stays inside the application folder or leads out of
  // it, in the check and in the copy alike.
  testsupport::TempFolder outside;
  for (const std::string& to : {At("lang2"), outside.path()}) {
    for (bool pastTheCheck : {false, true}) {
      SCOPED_TRACE(to + (pastTheCheck ? ", past the check" : ""));
      WriteFile(to + "/sub/x.ini", "old");
      ASSERT_EQ(symlink(to.c_str(), At("Language").c_str()), 0);
      Stage("Language/sub/x.ini", "new");
      Pending();
      testsupport::FakeWindow window;
      window.realSleepUsPerWait = 200;
      InstallDialog dialog(window, Services());
      EXPECT_EQ(RunInstall(dialog, pastTheCheck), DialogResult::kCancel);
      EXPECT_EQ(window.boxes().size(), 1u);
      EXPECT_EQ(testsupport::ListTree(to), "sub/\nsub/x.ini\n");
      EXPECT_EQ(ReadFile(to + "/sub/x.ini"), "old");
      EXPECT_EQ(ReadFile(At("dvd/Language/sub/x.ini")), "new");
      EXPECT_TRUE(platform::AttributesOf(At("Language"))->isSymlink);
      ASSERT_EQ(unlink(At("Language").c_str()), 0);
    }
  }
}

}  // namespace
}  // namespace installtest
