// The real updater program, started as a process in a temporary application
// folder beside the stand-in of the main application.
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/facts.h"
#include "platform/files.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

// Ends a process at once: SIGKILL on Linux; any signal on Windows.
constexpr int kKill = 9;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { Install(root_ / "app"); }

  // Puts the updater and the stand-in into `folder`, which becomes the
  // application folder of later runs.
  void Install(const std::string& folder) {
    appFolder_ = folder + platform::kPathSeparator;
    testsupport::CopyFile(HARBINOR_BIN, Updater());
    testsupport::CopyFile(TOLVARO_BIN, appFolder_ + platform::kMainAppFileName);
    // A server where nobody listens: a check fails at once, on loopback.
    WriteFile(appFolder_ + "Configs/Harbinor.cfg", "[Harbinor]\nServer=http://127.0.0.9/tlv5.update/\n");
  }

  std::string Updater() const { return appFolder_ + platform::kUpdaterFileName; }

  testsupport::ProcessOptions Options(std::vector<std::string> arguments) {
    testsupport::ProcessOptions o;
    o.arguments = std::move(arguments);
    // The terminal front end, asked for (and no display on Linux); its
    // input ends at once, so the window closes by itself once its check
    // has failed.
    o.arguments.push_back("--console");
    o.environment["DISPLAY"] = std::nullopt;
    o.environment["WAYLAND_DISPLAY"] = std::nullopt;
    o.environment["HARBINOR_TEST_GUARD_FOLDER"] = runtime_;
    o.environment["XDG_CONFIG_HOME"] = root_ / "config";
    o.environment["HOME"] = root_ / "home";
    return o;
  }

  testsupport::ProcessResult Run(std::vector<std::string> arguments) {
    auto r = testsupport::RunProcess(Updater(), Options(std::move(arguments)));
    EXPECT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r;
  }

  std::string StartsRecord() const { return appFolder_ + "Tolvaro.starts"; }

  // The stand-in runs detached; give it a moment to record its start.
  bool MainAppStarted() {
    return testsupport::WaitFor([&] { return !ReadFile(StartsRecord()).empty(); }, 5000);
  }

  testsupport::TempFolder root_;
  std::string runtime_ = [this] {
    std::string r = root_ / "run";
    platform::MakeFolder(r);
    return r;
  }();
  std::string appFolder_;  // ends with a separator
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
  // A program where a split path would lead, which would record its start
  // beside itself: it must never be started.
  testsupport::CopyFile(TOLVARO_BIN, root_ / ("Program" + std::filesystem::path(TOLVARO_BIN).extension().string()));
  Run({"/u"});
  ASSERT_TRUE(MainAppStarted());
  EXPECT_EQ(ReadFile(StartsRecord()), "start\t*\n");
  EXPECT_FALSE(PathExists(root_ / "Tolvaro.starts"));
}

TEST_F(StartupTest, FolderAndArgumentsNoAnsiCodePageHolds) {
  // Cyrillic and Chinese: the program finds itself, its settings and the
  // main application there, and arguments arrive whole.
  const std::string name = "\xD0\x9F\xD0\xBE\xD0\xBB\xD1\x8C \xE7\x94\xA8\xE6\x88\xB7";
  Install(root_ / name);
  Run({"/u"});
  ASSERT_TRUE(MainAppStarted());
  EXPECT_EQ(ReadFile(StartsRecord()), "start\t*\n");
  auto direct = testsupport::RunProcess(appFolder_ + platform::kMainAppFileName, Options({name}));
  EXPECT_EQ(direct.exitCode, 0) << direct.output;
  EXPECT_EQ(ReadFile(StartsRecord()), "start\t*\nstart\t" + name + "\t--console\n");
}

TEST_F(StartupTest, OtherModesDoNotStartTheMainApplication) {
  for (const char* switchText : {"", "/c", "-C", "--console", "/x", "u"}) {
    std::vector<std::string> args;
    if (*switchText) args.push_back(switchText);
    Run(args);
  }
  // The stand-in would have recorded by now if anything had started it.
  Pause(300);
  EXPECT_FALSE(PathExists(StartsRecord()));
}

TEST_F(StartupTest, PendingUpdateIsInstalledThenTheMainApplicationStarts) {
  testsupport::CopyFile(TOLVARO_BIN, appFolder_ + "dvd/" + platform::kMainAppFileName);
  WriteFile(appFolder_ + "dvd/Language/Deutsch.ini", "[harbinor.exe]\r\n");
  WriteFile(appFolder_ + "dvd/@update@.log", "");
  auto r = Run({"/u"});
  EXPECT_NE(r.output.find("title: Tolvaro copying updated files..."), std::string::npos) << r.output;
  ASSERT_TRUE(MainAppStarted());
  EXPECT_EQ(ReadFile(StartsRecord()), "start\t*\n");
  EXPECT_EQ(ReadFile(appFolder_ + "Language/Deutsch.ini"), "[harbinor.exe]\r\n");
  EXPECT_FALSE(PathExists(appFolder_ + "dvd")) << "the staging folder is cleaned up";
}

TEST_F(StartupTest, LockedTargetAsksAndCancelStartsNothing) {
  // A read-only target (Windows: the read-only attribute).
  namespace fs = std::filesystem;
  WriteFile(appFolder_ + "readme.txt", "old");
  fs::permissions(appFolder_ + "readme.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  WriteFile(appFolder_ + "dvd/readme.txt", "new");
  WriteFile(appFolder_ + "dvd/@update@.log", "");
  // The terminal front end answers Cancel when its input has ended.
  auto r = Run({"/u"});
  EXPECT_NE(r.output.find("readme.txt could not be updated: you do not have the permission to change it.\\n\\n"
                          "One or more files could not be updated."),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("answer: cancel"), std::string::npos) << r.output;
  // The failure log says which file and why, in the file and on standard error.
  const std::string why = "install: " + appFolder_ + "readme.txt: no permission";
  EXPECT_NE(ReadFile(appFolder_ + "Configs/Harbinor.log").find(why), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(why), std::string::npos) << r.output;
  Pause(300);
  EXPECT_FALSE(PathExists(StartsRecord()));
  EXPECT_EQ(ReadFile(appFolder_ + "dvd/readme.txt"), "new");
  EXPECT_TRUE(PathExists(appFolder_ + "dvd/@update@.log"));

  // Answering OK starts the main application without the update.
  auto options = Options({"/u"});
  options.input = "ok\n";
  auto ok = testsupport::RunProcess(Updater(), options);
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  EXPECT_TRUE(MainAppStarted());
  EXPECT_EQ(ReadFile(appFolder_ + "readme.txt"), "old");
  // A read-only file cannot be deleted on Windows: the temporary folder
  // must be able to go.
  fs::permissions(appFolder_ + "readme.txt", fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(StartupTest, MissingMainApplicationIsIgnored) {
  ASSERT_TRUE(platform::RemoveFile(appFolder_ + platform::kMainAppFileName));
  auto r = Run({"/u"});
  EXPECT_EQ(r.output, "");
}

TEST_F(StartupTest, ParkedCopyIsRemovedInEveryMode) {
  for (const char* switchText : {"", "/u", "/c", "-x"}) {
    WriteFile(appFolder_ + "Harbinor.old", "old updater");
    std::vector<std::string> args;
    if (*switchText) args.push_back(switchText);
    Run(args);
    EXPECT_FALSE(PathExists(appFolder_ + "Harbinor.old")) << "mode \"" << switchText << "\"";
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
  // A running copy holds the guard: its window stays open while its input
  // does.
  auto holderOptions = Options({});
  holderOptions.keepInputOpen = true;
  testsupport::ChildProcess holder(Updater(), holderOptions);
  std::string transcript;
  ASSERT_TRUE(holder.WaitForLine("window: shown", 10000, &transcript)) << transcript;
  WriteFile(appFolder_ + "Harbinor.old", "old updater");
  for (const char* switchText : {"/u", "/c", ""}) {
    std::vector<std::string> args;
    if (*switchText) args.push_back(switchText);
    auto r = Run(args);
    EXPECT_EQ(r.output, "") << switchText;
  }
  Pause(300);
  EXPECT_FALSE(PathExists(StartsRecord())) << "a second copy started the main application";
  EXPECT_TRUE(PathExists(appFolder_ + "Harbinor.old")) << "a second copy touched the parked copy";

  // The guard dies with its process, even when it is killed.
  holder.Signal(kKill);
  holder.Wait(10000);
  Run({"/u"});
  EXPECT_TRUE(MainAppStarted());
  EXPECT_FALSE(PathExists(appFolder_ + "Harbinor.old"));
}

TEST_F(StartupTest, StartedMainApplicationDoesNotInheritTheGuard) {
  // The main application keeps running after the updater has ended; the
  // next start of the updater must not take it for a running copy.
  auto options = Options({"/u"});
  options.environment["TOLVARO_STAY_MS"] = "4000";
  auto first = testsupport::RunProcess(Updater(), options);
  ASSERT_EQ(first.exitCode, 0) << first.output;
  ASSERT_TRUE(MainAppStarted());
  auto second = testsupport::RunProcess(Updater(), options);
  ASSERT_EQ(second.exitCode, 0) << second.output;
  EXPECT_TRUE(testsupport::WaitFor([&] { return ReadFile(StartsRecord()) == "start\t*\nstart\t*\n"; }, 3000))
      << ReadFile(StartsRecord());
  // The file of a running program goes only once the program has ended
  // (Windows); then the temporary folder can go too.
  EXPECT_TRUE(testsupport::WaitFor([&] { return platform::RemoveFile(appFolder_ + platform::kMainAppFileName); }, 8000));
}

}  // namespace
