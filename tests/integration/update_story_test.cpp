// A whole update with the real pieces: release 1.0 installed, the next
// release published with the publishing tool and served by nginx on
// 127.0.0.10:80, the updater checking and downloading through its terminal
// front end, then install mode applying the update and starting the main
// application. Also: install runs killed at many points end, after the next
// install run, with exactly the new release.
//
// The programs are this build's, or another build's named by the
// environment: HARBINOR_STORY_BIN and HARBINOR_STORY_NEXT (the folders of
// release 1.0 and of the next release), HARBINOR_STORY_SUFFIX (".exe") and
// HARBINOR_STORY_RUNNER (the command that runs them, blank-separated: Wine
// for the Windows build).
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "engine/version_probe.h"
#include "platform/files.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_folder.h"
#include "tools/publish/publisher.h"

namespace {

namespace fs = std::filesystem;
using testsupport::PathExists;

struct Programs {
  std::string bin = std::string(HARBINOR_BIN).substr(0, std::string(HARBINOR_BIN).rfind('/'));
  std::string next = NEXT_RELEASE_DIR;
  std::string suffix;
  std::vector<std::string> runner;

  bool windows() const { return suffix == ".exe"; }
  std::string updater() const { return "Harbinor" + suffix; }
  std::string tolvaro() const { return "Tolvaro" + suffix; }
  // A library of the application, requested under its packed name on
  // Windows.
  std::string library() const { return windows() ? "codec.dll" : "libcodec.so"; }
};

Programs ProgramsUnderTest() {
  Programs p;
  auto env = [](const char* name) { const char* v = std::getenv(name); return std::string(v ? v : ""); };
  if (env("HARBINOR_STORY_BIN").empty()) return p;
  p.bin = env("HARBINOR_STORY_BIN");
  p.next = env("HARBINOR_STORY_NEXT");
  p.suffix = env("HARBINOR_STORY_SUFFIX");
  std::string runner = env("HARBINOR_STORY_RUNNER");
  for (std::size_t start = 0; start < runner.size();) {
    std::size_t end = std::min(runner.find(' ', start), runner.size());
    if (end > start) p.runner.push_back(runner.substr(start, end - start));
    start = end + 1;
  }
  return p;
}
using testsupport::ReadFile;
using testsupport::WriteFile;

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 23);
  return s;
}

// A help file made by chmcmd, or empty when chmcmd is missing.
std::string MakeHelpFile(const std::string& folder, const std::string& words) {
  WriteFile(folder + "/htm/chap00-2.htm", "<html><head><title>Updates</title></head><body><h1>" + words +
                                              "</h1></body></html>");
  WriteFile(folder + "/help.hhp",
            "[OPTIONS]\nCompiled file=help.chm\nDefault topic=htm/chap00-2.htm\n"
            "Language=0x409 English (United States)\nTitle=Help\n\n[FILES]\nhtm/chap00-2.htm\n");
  std::string command = "cd '" + folder + "' && chmcmd help.hhp >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return "";
  return ReadFile(folder + "/help.chm");
}

// Every file below `folder` with its bytes, for comparing trees.
std::map<std::string, std::string> Files(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) files[fs::relative(e.path(), folder).string()] = ReadFile(e.path().string());
  return files;
}

class UpdateStoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string help10 = MakeHelpFile(root_ / "help10", "Updating Tolvaro 1.0");
    std::string help11 = MakeHelpFile(root_ / "help11", "Updating Tolvaro 1.1");
    if (help10.empty() || help11.empty()) GTEST_SKIP() << "chmcmd (fp-utils) is needed to make help files";

    // Release 1.0, installed.
    testsupport::CopyFile(programs_.bin + "/" + programs_.updater(), app() + programs_.updater());
    testsupport::CopyFile(programs_.bin + "/" + programs_.tolvaro(), app() + programs_.tolvaro());
    WriteFile(app() + programs_.library(), Noise(300000, 1));
    WriteFile(app() + "readme.txt", "version=1.0.0.0\r\nTolvaro\r\n");
    WriteFile(app() + "help.chm", help10);
    WriteFile(app() + "Language/Deutsch.ini", "version=1.0\r\n[harbinor.exe]\r\n105=Aktuell.\r\n");
    mkdir((root_ / "run").c_str(), 0700);

    // The next release.
    testsupport::CopyFile(programs_.next + "/" + programs_.updater(), release() + programs_.updater());
    testsupport::CopyFile(programs_.next + "/" + programs_.tolvaro(), release() + programs_.tolvaro());
    // The library changed a little, as a rebuilt one does.
    WriteFile(release() + programs_.library(), Noise(300000, 1).replace(100000, 400, Noise(900, 2)));
    WriteFile(release() + "readme.txt", "version=1.1.0.0\r\nTolvaro, now with titles\r\n");
    WriteFile(release() + "help.chm", help11);
    WriteFile(release() + "Language/Deutsch.ini", "version=1.1\r\n[harbinor.exe]\r\n105=Ihre Software ist aktuell.\r\n");
    WriteFile(release() + "effects/glow.dat", Noise(12000000, 3));  // a new folder, a big file
    WriteFile(release() + "effects/none.dat", "");                   // an empty file

    publish::PublishOptions options;
    options.releaseFolder = root_ / "release";
    options.outputFolder = root_ / "www";
    options.introText = "Tolvaro " NEXT_VERSION;
    options.level = 0;
    options.defaultVersion = engine::PackVersion(1, 1, 0, 0);
    options.deltaFrom = {app()};  // patches from the installed release
    auto published = publish::Publish(options);
    ASSERT_TRUE(published.ok) << published.errors.front();
    installedBefore_ = Files(app());
  }

  std::string app() const { return root_.path() + "/app/"; }
  std::string release() const { return root_.path() + "/release/"; }

  testsupport::ProcessOptions Options(std::vector<std::string> arguments) {
    testsupport::ProcessOptions o = testsupport::UpdaterOptions(std::move(arguments), root_ / "run");
    o.runner = programs_.runner;
    return o;
  }

  // Check and download through the terminal front end, as a user would.
  void CheckAndDownload(const testsupport::NginxServer& nginx) {
    WriteFile(app() + "Configs/Harbinor.cfg", "[Harbinor]\nServer=http://" + nginx.host() + "/tlv5.update/\n");
    auto options = Options({"--console"});
    options.keepInputOpen = true;
    testsupport::ChildProcess updater(Updater(), options);
    std::string transcript;
    ASSERT_TRUE(updater.WaitForLine("button main: Download (enabled)", 20000, &transcript)) << transcript;
    updater.WriteInput("main\n");
    ASSERT_TRUE(updater.WaitForLine("headline: Download has been completed.", 60000, &transcript)) << transcript;
    updater.WriteInput("close\n");
    auto result = updater.Wait(10000);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    ASSERT_TRUE(PathExists(app() + "dvd/@update@.log"));
  }

  // The installed files of the new release, byte for byte, and nothing of
  // the staging left.
  void ExpectNewReleaseInstalled() {
    auto installed = Files(app());
    for (const auto& [name, bytes] : Files(release())) {
      auto it = installed.find(name);
      ASSERT_NE(it, installed.end()) << name << " is missing";
      EXPECT_TRUE(it->second == bytes) << name << " differs from the new release";
    }
    EXPECT_FALSE(PathExists(app() + "dvd")) << testsupport::ListTree(app() + "dvd");
    if (programs_.windows()) return;  // Windows has no permission to run a file
    EXPECT_TRUE(platform::AttributesOf(app() + "Tolvaro")->executable);
    EXPECT_TRUE(platform::AttributesOf(app() + "Harbinor")->executable);
  }

  std::string Updater() const { return app() + programs_.updater(); }

  std::string StartsRecord() { return app() + "Tolvaro.starts"; }
  // Waits for the main application that an install run started to record
  // its start, so that it writes nothing into a folder a test empties.
  bool TolvaroStarted() {
    return testsupport::WaitFor([&] { return !ReadFile(StartsRecord()).empty(); }, 10000);
  }

  const Programs programs_ = ProgramsUnderTest();
  testsupport::TempFolder root_;
  std::map<std::string, std::string> installedBefore_;
};

TEST_F(UpdateStoryTest, CheckDownloadInstallAndStart) {
  testsupport::NginxServer nginx(root_ / "www", 10);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  CheckAndDownload(nginx);
  EXPECT_EQ(Files(app() + "dvd").size(), 9u) << "eight files and the update log";
  // The programs, the library and the help file came as patches against
  // the installed files, and only as patches.
  std::size_t patches = 0;
  for (const std::string& request : nginx.Requests()) {
    std::string path = request.substr(4, request.find(" HTTP/") - 4);
    if (path.ends_with(".patch")) ++patches;
    for (const std::string& name : {programs_.updater(), programs_.tolvaro(), programs_.library(), std::string("help.chm")})
      EXPECT_FALSE(path.ends_with("/dvd/" + publish::ServedName(name))) << "fetched whole: " << path;
  }
  EXPECT_EQ(patches, 4u) << testsupport::ListTree(root_.path() + "/www");

  auto install = testsupport::RunProcess(Updater(), Options({"/u"}));
  ASSERT_EQ(install.exitCode, 0) << install.output;
  EXPECT_NE(install.output.find("title: Tolvaro copying updated files..."), std::string::npos) << install.output;
  ExpectNewReleaseInstalled();
  // The updater replaced itself; the old one waits under its parked name.
  EXPECT_TRUE(ReadFile(app() + "Harbinor.old") == installedBefore_[programs_.updater()]);
  EXPECT_EQ(engine::ProbeFileVersion(Updater()), engine::PackVersion(1, 1, 0, 0));
  ASSERT_TRUE(testsupport::WaitFor([&] { return ReadFile(StartsRecord()) == "start\t*\n"; }, 5000))
      << ReadFile(StartsRecord());

  // The next start deletes the parked copy.
  auto next = testsupport::RunProcess(Updater(), Options({"/u"}));
  ASSERT_EQ(next.exitCode, 0) << next.output;
  EXPECT_FALSE(PathExists(app() + "Harbinor.old"));
  EXPECT_TRUE(testsupport::WaitFor([&] { return ReadFile(StartsRecord()) == "start\t*\nstart\t*\n"; }, 5000));

  // Every file is current now, those without a version of their own too
  // (listed with the default version): nothing is offered, at this check
  // or the next, and their digests are remembered.
  for (int check = 0; check < 2; ++check) {
    auto again = testsupport::RunProcess(Updater(), Options({"--console"}));
    EXPECT_NE(again.output.find("headline: Your software is up-to-date."), std::string::npos) << again.output;
  }
  EXPECT_TRUE(PathExists(app() + "Configs/Harbinor.digests"));
}

// An application folder the user may not change: each step that changes
// it goes to a copy of the updater with administrator rights, a refused
// prompt changes nothing, and the editor starts at the user's rights. On
// Linux the folder is root's, the updater runs as an ordinary user, and a
// set-user-id stand-in plays pkexec. Under Wine, which has no prompt (runas
// simply runs) and lets everyone write everywhere, the first copy is told
// that it has no rights.
TEST_F(UpdateStoryTest, AFolderTheUserMayNotChangeIsUpdatedByACopyWithTheRights) {
  const bool pkexec = !programs_.windows();
  // Root of the whole machine (not of a user namespace, where no other user
  // exists), on a file system where a set-user-id program takes effect.
  struct statvfs temp;
  if (pkexec && (geteuid() != 0 || ReadFile("/proc/self/uid_map").find("4294967295") == std::string::npos ||
                 statvfs(root_.path().c_str(), &temp) != 0 || (temp.f_flag & ST_NOSUID)))
    GTEST_SKIP() << "needs root of the machine and a temporary folder without nosuid";
  constexpr unsigned kUser = 65534;  // nobody
  testsupport::NginxServer nginx(root_ / "www", 10);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  WriteFile(app() + "Configs/Harbinor.cfg", "[Harbinor]\nServer=http://" + nginx.host() + "/tlv5.update/\n");
  WriteFile(StartsRecord(), "");
  const std::string bin = root_ / "bin", home = root_ / "home", run = root_ / "userrun";
  const std::string folder = app().substr(0, app().size() - 1);
  struct stat updaterBefore, updaterAfter;
  if (pkexec) {
    chmod(StartsRecord().c_str(), 0666);
    for (const std::string& f : {bin, home, run}) mkdir(f.c_str(), 0700);
    testsupport::CopyFile(FAKE_PKEXEC_BIN, bin + "/pkexec");
    ASSERT_EQ(chmod((bin + "/pkexec").c_str(), 04755) | chmod(bin.c_str(), 0755) | chmod(root_.path().c_str(), 0755), 0);
    ASSERT_EQ(chown(home.c_str(), kUser, kUser) | chown(run.c_str(), kUser, kUser), 0);
    for (const auto& e : fs::recursive_directory_iterator(app()))
      if (e.is_directory()) fs::permissions(e.path(), fs::perms(0755));
    ASSERT_EQ(stat(Updater().c_str(), &updaterBefore), 0);
  }
  auto asUser = [&](std::vector<std::string> arguments) {
    auto o = Options(std::move(arguments));
    if (!pkexec) {
      o.environment["HARBINOR_TEST_NO_RIGHTS"] = "1";
      return o;
    }
    o.runAsUser = kUser;
    o.environment["PATH"] = bin + ":/usr/bin:/bin";
    o.environment["HOME"] = o.environment["XDG_CONFIG_HOME"] = home;
    o.environment["HARBINOR_TEST_GUARD_FOLDER"] = run;
    o.environment["TOLVARO_RECORD_RIGHTS"] = "1";
    return o;
  };
  // The stand-in refuses, as a user who dismisses the prompt, while this file is there.
  const std::string refuse = bin + "/pkexec.refuse";
  for (bool given : {false, true}) {
    if (!given && !pkexec) continue;
    SCOPED_TRACE(given ? "the rights given" : "the prompt refused");
    if (given) std::remove(refuse.c_str());
    else WriteFile(refuse, "");
    const auto before = Files(app());
    auto options = asUser({"--console"});
    options.keepInputOpen = true;
    testsupport::ChildProcess updater(Updater(), options);
    std::string transcript;
    ASSERT_TRUE(updater.WaitForLine("button main: Download (enabled)", 30000, &transcript)) << transcript;
    updater.WriteInput("main\n");
    ASSERT_TRUE(updater.WaitForLine("window: hidden", 10000, &transcript)) << transcript;
    updater.CloseInput();
    EXPECT_TRUE(updater.WaitForLine(given ? "headline: Download has been completed."
                                          : "message: Only an administrator may change the folder " + folder +
                                                ", where the update is saved.",
                                    90000, &transcript) ||
                (given && programs_.windows()))  // the copy's window may not reach our output
        << transcript;
    auto result = updater.Wait(90000);
    EXPECT_EQ(result.exitCode, 0) << transcript << result.output;
    EXPECT_EQ(PathExists(app() + "dvd/@update@.log"), given);
    if (!given) {
      EXPECT_TRUE(Files(app()) == before) << "a refused prompt changes nothing";
    }
  }
  if (pkexec) {
    WriteFile(refuse, "");
    const auto before = Files(app());
    auto refused = testsupport::RunProcess(Updater(), asUser({"/u"}));
    EXPECT_NE(refused.output.find("messagebox: Software Update Failed: Installing the update needs administrator "
                                  "rights for the folder " + folder + ". Nothing has been changed.\\n\\nPress OK to "
                                  "start the application without update."),
              std::string::npos)
        << refused.output;
    EXPECT_TRUE(Files(app()) == before) << "a refused prompt changes nothing";
    std::remove(refuse.c_str());
  }
  auto install = testsupport::RunProcess(Updater(), asUser({"/u"}));
  EXPECT_EQ(install.exitCode, 0) << install.output;
  ExpectNewReleaseInstalled();
  const std::string started = pkexec ? "start\t*\t(user)\n" : "start\t*\n";
  ASSERT_TRUE(testsupport::WaitFor([&] { return ReadFile(StartsRecord()) == started; }, 5000))
      << "the editor starts once, at the user's rights: " << ReadFile(StartsRecord());
  if (!pkexec) return;
  ASSERT_EQ(stat(Updater().c_str(), &updaterAfter), 0);
  EXPECT_EQ(std::vector<unsigned>({updaterAfter.st_uid, updaterAfter.st_mode}),
            std::vector<unsigned>({0, updaterBefore.st_mode}))
      << "the installed file keeps its owner and mode";
  const std::string download = "\t--download\t--elevated\t--console\n", installing = "\t/u\t--elevated\n";
  EXPECT_EQ(ReadFile(bin + "/pkexec.calls"),
            Updater() + download + Updater() + download + Updater() + installing + Updater() + installing);
}

TEST_F(UpdateStoryTest, InstallKilledAnywhereFinishesOnTheNextRun) {
  testsupport::NginxServer nginx(root_ / "www", 10);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  CheckAndDownload(nginx);
  // The downloaded state, to start every round from.
  const std::string pristine = root_ / "pristine";
  fs::copy(app(), pristine, fs::copy_options::recursive | fs::copy_options::copy_symlinks);

  auto restore = [&] {
    fs::remove_all(app());
    fs::copy(pristine, app(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    std::remove(StartsRecord().c_str());
  };
  // How long the copy of a whole install takes here (from the moment the
  // install window shows), to spread the kills over it.
  auto copyStart = std::chrono::steady_clock::now();
  {
    testsupport::ChildProcess whole(Updater(), Options({"/u"}));
    ASSERT_TRUE(whole.WaitForLine("window: shown", 20000));
    copyStart = std::chrono::steady_clock::now();
    auto result = whole.Wait(60000);
    ASSERT_EQ(result.exitCode, 0) << result.output;
  }
  auto duration = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - copyStart);
  ASSERT_TRUE(TolvaroStarted());
  ExpectNewReleaseInstalled();

  // Kills spread over the first 80% of that time; a kill that comes after
  // the end (the machine may be slower now) is not counted, and rounds go
  // on until 24 have landed in the middle.
  const int kPoints = 24;
  int killedMidway = 0, killedBetweenRenames = 0, rounds = 0;
  for (; rounds < 3 * kPoints && killedMidway < kPoints; ++rounds) {
    SCOPED_TRACE("round " + std::to_string(rounds));
    restore();
    testsupport::ChildProcess install(Updater(), Options({"/u"}));
    ASSERT_TRUE(install.WaitForLine("window: shown", 20000));
    std::this_thread::sleep_for(duration * 4 * (rounds % kPoints) / (5 * kPoints));
    install.Signal(SIGKILL);
    auto killed = install.Wait(10000);
    if (killed.signal == SIGKILL && PathExists(app() + "dvd/@update@.log")) ++killedMidway;
    // Windows cannot replace a running program's name in one step: a kill
    // between its two renames leaves the old updater parked and the new one
    // beside it (copied) or still staged, nothing lost, but no program under
    // the updater's name. Give the name a program as a person would, and
    // count it.
    if (programs_.windows() && !PathExists(Updater()) && PathExists(app() + "Harbinor.old")) {
      ++killedBetweenRenames;
      const std::string copied = Updater() + ".new~";
      ASSERT_TRUE(platform::MoveFileNoReplace(PathExists(copied) ? copied : app() + "Harbinor.old", Updater()));
    }
    // Wine's server closes a killed program's files a while after the
    // process is gone (longer when the machine is busy); until then they
    // are still open, as a file another program holds would be, and a file
    // deleted meanwhile lingers in its folder until then, which keeps the
    // emptied staging folder from going.
    if (!programs_.runner.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    // Install mode again, with whatever updater the killed run left.
    auto again = testsupport::RunProcess(Updater(), Options({"/u"}));
    ASSERT_EQ(again.exitCode, 0) << again.output;
    ASSERT_TRUE(TolvaroStarted());
    ExpectNewReleaseInstalled();
    if (HasFailure()) break;
  }
  const int kRounds = rounds;
  std::printf("the copy of a whole install took %lld ms; %d of %d kills landed before it had finished, "
              "%d between the two renames of the updater\n",
              static_cast<long long>(duration.count() / 1000), killedMidway, kRounds, killedBetweenRenames);
  EXPECT_GE(killedMidway, 20) << "the kills should land while the copy runs";
}

}  // namespace
