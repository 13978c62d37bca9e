// The real updater program, started as a process in a temporary application
// folder beside the stand-in of the main application.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/updater_app.h"
#include "platform/process.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { Install(root_ / "app"); }

  // Puts the updater and the stand-in into `folder`, which becomes the
  // application folder of later runs.
  void Install(const std::string& folder) {
    appFolder_ = folder;
    testsupport::CopyFile(HARBINOR_BIN, appFolder_ + "/Harbinor");
    testsupport::CopyFile(TOLVARO_BIN, appFolder_ + "/Tolvaro");
    // A server where nobody listens: a check fails at once, on loopback.
    WriteFile(appFolder_ + "/Configs/Harbinor.cfg", "[Harbinor]\nServer=http://127.0.0.9/tlv5.update/\n");
  }

  testsupport::ProcessOptions Options(std::vector<std::string> arguments) {
    testsupport::ProcessOptions o;
    o.arguments = std::move(arguments);
    // The terminal front end; its input ends at once, so the window closes
    // by itself once its check has failed.
    o.environment["DISPLAY"] = std::nullopt;
    o.environment["WAYLAND_DISPLAY"] = std::nullopt;
    o.environment["XDG_RUNTIME_DIR"] = runtime_;
    o.environment["XDG_CONFIG_HOME"] = root_ / "config";
    o.environment["HOME"] = root_ / "home";
    return o;
  }

  testsupport::ProcessResult Run(std::vector<std::string> arguments) {
    auto r = testsupport::RunProcess(appFolder_ + "/Harbinor", Options(std::move(arguments)));
    EXPECT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r;
  }

  std::string StartsRecord() const { return appFolder_ + "/Tolvaro.starts"; }

  // The stand-in runs detached; give it a moment to record its start.
  bool MainAppStarted() {
    return testsupport::WaitFor([&] { return !ReadFile(StartsRecord()).empty(); }, 5000);
  }

  // Forks a child that holds the instance guard as a running copy would,
  // until it is killed.
  pid_t HoldGuardInChild() {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
      auto guard = platform::InstanceGuard::Acquire(app::kInstanceName);
      char ok = guard.state() == platform::InstanceGuard::State::kAcquired ? 'y' : 'n';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char ok = 0;
    EXPECT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    EXPECT_EQ(ok, 'y');
    return pid;
  }

  testsupport::TempFolder root_;
  std::string runtime_ = [this] {
    std::string r = root_ / "run";
    mkdir(r.c_str(), 0700);
    return r;
  }();
  std::string appFolder_;
};

TEST_F(StartupTest, InstallModeWithNothingStagedStartsTheMainApplicationWithAStar) {
  for (const char* switchText : {"/u", "-U", "/update"}) {
    testsupport::WriteFile(StartsRecord(), "");
    Run({switchText});
    ASSERT_TRUE(MainAppStarted()) << switchText;
    EXPECT_EQ(ReadFile(StartsRecord()), "start\t*\n") << switchText;
  }
}

TEST_F(StartupTest, MainApplicationPathWithBlanksIsNotSplit) {
  Install(root_ / "Program Files/Tolvaro DVD");
  // A program where a split path would lead: it must never be started.
  WriteFile(root_ / "Program", "#!/bin/sh\necho split >> '" + (root_ / "split") + "'\n");
  chmod((root_ / "Program").c_str(), 0755);
  Run({"/u"});
  ASSERT_TRUE(MainAppStarted());
  EXPECT_EQ(ReadFile(StartsRecord()), "start\t*\n");
  EXPECT_FALSE(PathExists(root_ / "split"));
}

TEST_F(StartupTest, OtherModesDoNotStartTheMainApplication) {
  for (const char* switchText : {"", "/c", "-C", "--console", "/x", "u"}) {
    std::vector<std::string> args;
    if (*switchText) args.push_back(switchText);
    Run(args);
  }
  // The stand-in would have recorded by now if anything had started it.
  usleep(300 * 1000);
  EXPECT_FALSE(PathExists(StartsRecord()));
}

TEST_F(StartupTest, PendingUpdateIsInstalledThenTheMainApplicationStarts) {
  testsupport::CopyFile(TOLVARO_BIN, appFolder_ + "/dvd/Tolvaro");
  WriteFile(appFolder_ + "/dvd/Language/Deutsch.ini", "[harbinor.exe]\r\n");
  WriteFile(appFolder_ + "/dvd/@update@.log", "");
  auto r = Run({"/u"});
  EXPECT_NE(r.output.find("title: Tolvaro copying updated files..."), std::string::npos) << r.output;
  ASSERT_TRUE(MainAppStarted());
  EXPECT_EQ(ReadFile(StartsRecord()), "start\t*\n");
  EXPECT_EQ(ReadFile(appFolder_ + "/Language/Deutsch.ini"), "[harbinor.exe]\r\n");
  EXPECT_FALSE(PathExists(appFolder_ + "/dvd")) << "the staging folder is cleaned up";
}

TEST_F(StartupTest, LockedTargetAsksAndCancelStartsNothing) {
  WriteFile(appFolder_ + "/readme.txt", "old");
  chmod((appFolder_ + "/readme.txt").c_str(), 0444);
  WriteFile(appFolder_ + "/dvd/readme.txt", "new");
  WriteFile(appFolder_ + "/dvd/@update@.log", "");
  // The terminal front end answers Cancel when its input has ended.
  auto r = Run({"/u"});
  EXPECT_NE(r.output.find("messagebox: Software Update Failed: One or more files could not be updated."),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("answer: cancel"), std::string::npos) << r.output;
  usleep(300 * 1000);
  EXPECT_FALSE(PathExists(StartsRecord()));
  EXPECT_EQ(ReadFile(appFolder_ + "/dvd/readme.txt"), "new");
  EXPECT_TRUE(PathExists(appFolder_ + "/dvd/@update@.log"));

  // Answering OK starts the main application without the update.
  auto options = Options({"/u"});
  options.input = "ok\n";
  auto ok = testsupport::RunProcess(appFolder_ + "/Harbinor", options);
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  EXPECT_TRUE(MainAppStarted());
  EXPECT_EQ(ReadFile(appFolder_ + "/readme.txt"), "old");
}

TEST_F(StartupTest, MissingMainApplicationIsIgnored) {
  unlink((appFolder_ + "/Tolvaro").c_str());
  auto r = Run({"/u"});
  EXPECT_EQ(r.output, "");
}

TEST_F(StartupTest, ParkedCopyIsRemovedInEveryMode) {
  for (const char* switchText : {"", "/u", "/c", "-x"}) {
    WriteFile(appFolder_ + "/Harbinor.old", "old updater");
    std::vector<std::string> args;
    if (*switchText) args.push_back(switchText);
    Run(args);
    EXPECT_FALSE(PathExists(appFolder_ + "/Harbinor.old")) << "mode \"" << switchText << "\"";
  }
}

TEST_F(StartupTest, ParkedCopyNameComesFromTheFileNameNotAFolder) {
  // A dot in a folder name must not make "<folder>.old" the parked copy.
  Install(root_ / "opt.d/tolvaro");
  WriteFile(root_ / "opt.old", "somebody else's file");
  WriteFile(root_ / "opt.d/tolvaro/Harbinor.old", "old updater");
  Run({});
  EXPECT_EQ(ReadFile(root_ / "opt.old"), "somebody else's file");
  EXPECT_FALSE(PathExists(root_ / "opt.d/tolvaro/Harbinor.old"));
}

TEST_F(StartupTest, SecondCopyEndsSilentlyUntilTheFirstIsKilled) {
  pid_t holder = HoldGuardInChild();
  WriteFile(appFolder_ + "/Harbinor.old", "old updater");
  for (const char* switchText : {"/u", "/c", ""}) {
    std::vector<std::string> args;
    if (*switchText) args.push_back(switchText);
    auto r = Run(args);
    EXPECT_EQ(r.output, "") << switchText;
  }
  usleep(300 * 1000);
  EXPECT_FALSE(PathExists(StartsRecord())) << "a second copy started the main application";
  EXPECT_TRUE(PathExists(appFolder_ + "/Harbinor.old")) << "a second copy touched the parked copy";

  // The guard dies with its process, even on SIGKILL.
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  Run({"/u"});
  EXPECT_TRUE(MainAppStarted());
  EXPECT_FALSE(PathExists(appFolder_ + "/Harbinor.old"));
}

TEST_F(StartupTest, StartedMainApplicationDoesNotInheritTheGuard) {
  // The main application keeps running after the updater has ended; the
  // next start of the updater must not take it for a running copy.
  auto options = Options({"/u"});
  options.environment["TOLVARO_STAY_MS"] = "4000";
  auto first = testsupport::RunProcess(appFolder_ + "/Harbinor", options);
  ASSERT_EQ(first.exitCode, 0) << first.output;
  ASSERT_TRUE(MainAppStarted());
  auto second = testsupport::RunProcess(appFolder_ + "/Harbinor", options);
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_TRUE(testsupport::WaitFor([&] { return ReadFile(StartsRecord()) == "start\t*\nstart\t*\n"; }, 3000))
      << ReadFile(StartsRecord());
}

}  // namespace
