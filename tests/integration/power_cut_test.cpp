// Power cuts anywhere in a download, an install and a publishing run. Each
// run is recorded on power_cut_fs (see tests/support/power_cut.h); then, at
// every point where it flushed something and at points between, the state
// a power cut there would leave is written out, the same run is made again
// on it, and what it finishes with is checked: every file whole, old or
// new, and nothing lost. The programs are this build's: release 1.0 is
// installed, the next release is published and served by nginx on
// 127.0.0.14:80.
//
// It needs root and /dev/fuse, and skips without them. Its mounts live in a
// mount namespace of the test process's own, so they go with it.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "engine/version_probe.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/power_cut.h"
#include "tests/support/temp_folder.h"
#include "tools/publish/publisher.h"

namespace {

namespace fs = std::filesystem;
namespace pc = testsupport::powercut;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;
using Tree = std::map<std::string, std::string>;

const std::string kBin = std::string(HARBINOR_BIN).substr(0, std::string(HARBINOR_BIN).rfind('/'));
constexpr const char* kUpdateLog = "dvd/@update@.log";

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 23);
  return s;
}

// Every file below `folder` with its bytes.
Tree Files(const std::string& folder) {
  Tree files;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) files[fs::relative(e.path(), folder).string()] = ReadFile(e.path().string());
  return files;
}

// Which names of `tree` differ between the two, for messages.
std::string Differences(const Tree& got, const Tree& want) {
  std::string out;
  for (const auto& [name, bytes] : want) {
    auto it = got.find(name);
    if (it == got.end()) out += " " + name + " missing;";
    else if (it->second != bytes) out += " " + name + " differs (" + std::to_string(it->second.size()) + " bytes);";
  }
  for (const auto& [name, bytes] : got)
    if (!want.count(name)) out += " " + name + " is extra;";
  return out;
}

bool Executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 0100);
}

// The file system over `backing`, mounted at `mountPoint` while this lives,
// logging into `log`.
class Recording {
 public:
  Recording(const std::string& backing, const std::string& mountPoint, const std::string& log)
      : mountPoint_(mountPoint), log_(log) {
    fs::create_directories(mountPoint);
    testsupport::ProcessOptions o;
    o.arguments = {backing, log, mountPoint, "-o", "fsname=power_cut_fs"};
    o.timeoutMs = 600000;
    // What libfuse keeps until the end is no leak of ours.
    o.environment["ASAN_OPTIONS"] = "detect_leaks=0";
    daemon_ = std::make_unique<testsupport::ChildProcess>(POWER_CUT_FS_BIN, o);
    mounted_ = testsupport::WaitFor([&] { return DeviceOf(mountPoint) != DeviceOf(backing); }, 10000);
  }
  ~Recording() {
    if (daemon_) umount2(mountPoint_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

  // Unmounts and returns what was logged.
  std::vector<pc::Operation> Finish() {
    testsupport::WaitFor([&] { return umount2(mountPoint_.c_str(), 0) == 0; }, 10000);
    auto result = daemon_->Wait(20000);
    daemon_.reset();
    if (result.exitCode != 0) ADD_FAILURE() << "power_cut_fs: " << result.output;
    return pc::ReadLog(log_);
  }

 private:
  static dev_t DeviceOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
  }
  std::string mountPoint_, log_;
  std::unique_ptr<testsupport::ChildProcess> daemon_;
  bool mounted_ = false;
};

// The points to cut at: after every flush, and in the middle of the
// operations between two flushes (and after the last one).
std::vector<std::size_t> CutPoints(const std::vector<pc::Operation>& ops, std::set<std::size_t>& afterFlush) {
  std::set<std::size_t> points;
  std::size_t last = 0;
  for (std::size_t i = 0; i <= ops.size(); ++i) {
    if (i < ops.size() && !ops[i].IsFlush()) continue;
    if (i > last + 1) points.insert(last + (i - last) / 2);
    if (i < ops.size()) afterFlush.insert(i + 1);
    last = i + 1;
  }
  points.insert(afterFlush.begin(), afterFlush.end());
  points.insert(ops.size());
  return {points.begin(), points.end()};
}

class PowerCutTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Mounts of this process and its children only, gone with it.
    privateMounts_ = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }

  void SetUp() override {
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0 || !privateMounts_)
      GTEST_SKIP() << "needs root, /dev/fuse and a mount namespace of its own to mount power_cut_fs";
    // Everything on a tmpfs: the runs flush a lot, and the disk's flushes
    // would only make them slow.
    ASSERT_EQ(mount("tmpfs", root_.path().c_str(), "tmpfs", 0, "size=2g,mode=0755"), 0);
    onTmpfs_ = true;
    {
      // A system may refuse FUSE mounts even to root (a container).
      fs::create_directories(root_ / "probe");
      Recording probe(root_ / "probe", root_ / "probe-mounted", root_ / "probe.log");
      if (!probe.mounted()) GTEST_SKIP() << "power_cut_fs cannot be mounted here";
      probe.Finish();
    }
    mkdir((root_ / "run").c_str(), 0700);
    // Release 1.0, installed.
    testsupport::CopyFile(kBin + "/Harbinor", app10() + "Harbinor");
    testsupport::CopyFile(kBin + "/Tolvaro", app10() + "Tolvaro");
    WriteFile(app10() + "libcodec.so", Noise(300000, 1));
    WriteFile(app10() + "readme.txt", "version=1.0.0.0\r\nTolvaro\r\n");
    WriteFile(app10() + "Language/Deutsch.ini", "version=1.0\r\n[harbinor.exe]\r\n105=Aktuell.\r\n");
    // The next release: changed files, a new folder with a large file and an
    // empty one.
    testsupport::CopyFile(std::string(NEXT_RELEASE_DIR) + "/Harbinor", release() + "Harbinor");
    testsupport::CopyFile(std::string(NEXT_RELEASE_DIR) + "/Tolvaro", release() + "Tolvaro");
    WriteFile(release() + "libcodec.so", Noise(300000, 2));
    WriteFile(release() + "readme.txt", "version=1.1.0.0\r\nTolvaro, now with titles\r\n");
    WriteFile(release() + "Language/Deutsch.ini", "version=1.1\r\n[harbinor.exe]\r\n105=Ihre Software ist aktuell.\r\n");
    WriteFile(release() + "effects/glow.dat", Noise(3000000, 3));
    WriteFile(release() + "effects/none.dat", "");
    WriteFile(root_ / "intro.txt", "Tolvaro 1.1\n");
    ASSERT_EQ(Publish(release(), root_ / "www", false), "");
    installed10_ = Files(app10());
    release11_ = Files(release());
  }

  void TearDown() override {
    if (onTmpfs_) umount2(root_.path().c_str(), MNT_DETACH);
  }

  std::string app10() const { return root_ / "app10/"; }
  std::string release() const { return root_ / "release/"; }

  testsupport::ProcessOptions Options(std::vector<std::string> arguments) {
    return testsupport::UpdaterOptions(std::move(arguments), root_ / "run");
  }

  // `publish` on `releaseFolder` into `output`; empty when it worked.
  std::string Publish(const std::string& releaseFolder, const std::string& output, bool replace) {
    testsupport::ProcessOptions o;
    o.arguments = {"--intro", root_ / "intro.txt", "--level", "0", "--default-version", "1.1.0.0"};
    if (replace) o.arguments.push_back("--replace");
    o.arguments.insert(o.arguments.end(), {releaseFolder, output});
    o.timeoutMs = 60000;
    auto result = testsupport::RunProcess(PUBLISH_BIN, o);
    return result.exitCode == 0 ? "" : "publish failed: " + result.output;
  }

  // Check and download through the terminal front end; empty when the
  // download completed. A download that is complete already (its update
  // log is there) is said so at once.
  std::string CheckAndDownload(const std::string& app) {
    auto options = Options({"--console"});
    options.keepInputOpen = true;
    testsupport::ChildProcess updater(app + "/Harbinor", options);
    const std::string completed = "headline: Download has been completed.";
    std::string transcript;
    for (std::optional<std::string> line; (line = updater.ReadLine(20000)) != completed;) {
      if (!line) return "no download offered: " + transcript;
      transcript += *line + "\n";
      if (*line != "button main: Download (enabled)") continue;
      updater.WriteInput("main\n");
      if (!updater.WaitForLine(completed, 60000, &transcript)) return "the download did not complete: " + transcript;
      break;
    }
    updater.WriteInput("close\n");
    auto result = updater.Wait(10000);
    return result.exitCode == 0 ? "" : "the updater ended with " + std::to_string(result.exitCode) + ": " + result.output;
  }

  // Install mode, waiting for the editor it starts; empty when it worked.
  std::string Install(const std::string& app) {
    if (!PathExists(app + "/Harbinor")) return "no program under the updater's name";
    auto result = testsupport::RunProcess(app + "/Harbinor", Options({"/u"}));
    if (result.exitCode != 0) return "install mode ended with " + std::to_string(result.exitCode) + ": " + result.output;
    if (!testsupport::WaitFor([&] { return !ReadFile(app + "/Tolvaro.starts").empty(); }, 10000))
      return "the editor was not started";
    return "";
  }

  // The new release installed, whole, with the staging folder gone.
  std::string NewReleaseInstalled(const std::string& app) {
    Tree installed = Files(app);
    std::string faults;
    for (const auto& [name, bytes] : release11_) {
      auto it = installed.find(name);
      if (it == installed.end()) faults += " " + name + " is missing;";
      else if (it->second != bytes) faults += " " + name + " is not the new one;";
    }
    if (PathExists(app + "/dvd")) faults += " dvd/ is still there:" + testsupport::ListTree(app + "/dvd") + ";";
    for (const char* program : {"/Harbinor", "/Tolvaro"})
      if (!Executable(app + program)) faults += std::string(" ") + (program + 1) + " cannot be run;";
    return faults;
  }

  struct Outcome {
    std::size_t operations = 0, flushes = 0, states = 0, atFlushes = 0, between = 0, foldersKept = 0, passed = 0;
    std::vector<std::string> faults;
  };

  // Which cut states are made: the least a cut leaves (only what was
  // flushed), those where all folders but one were written back, or both.
  enum class States { kAll, kFlushedOnly, kFoldersWrittenBack };

  // Records `run` (given the mounted folder) on the file system over a copy
  // of `start`; then, at every cut point, writes the cut state to a folder
  // of its own and gives it to `check`, which makes the next run there and
  // says what is wrong (empty: nothing).
  Outcome CutEverywhere(const std::string& name, const std::string& start,
                        const std::function<std::string(const std::string&)>& run,
                        const std::function<std::string(const std::string&)>& check, States which = States::kAll) {
    Outcome outcome;
    const std::string backing = root_ / (name + "-backing"), mounted = root_ / (name + "-mounted");
    fs::copy(start, backing, fs::copy_options::recursive);
    pc::PowerCutDisk disk(backing);
    EXPECT_EQ(disk.error(), "");
    std::vector<pc::Operation> ops;
    {
      Recording recording(backing, mounted, root_ / (name + ".log"));
      if (!recording.mounted()) {
        ADD_FAILURE() << "power_cut_fs did not mount";
        return outcome;
      }
      std::string failure = run(mounted);
      ops = recording.Finish();
      if (!failure.empty()) {
        ADD_FAILURE() << name << " on power_cut_fs: " << failure;
        return outcome;
      }
    }
    outcome.operations = ops.size();
    outcome.flushes = static_cast<std::size_t>(std::count_if(ops.begin(), ops.end(), [](auto& op) { return op.IsFlush(); }));
    std::set<std::size_t> afterFlush;
    std::size_t applied = 0, states = 0;
    for (std::size_t point : CutPoints(ops, afterFlush)) {
      for (; applied < point; ++applied)
        if (!disk.Apply(ops[applied])) {
          ADD_FAILURE() << name << ": the log does not replay: " << disk.error();
          return outcome;
        }
      // The least the cut leaves; between flushes and at the end also, for
      // each folder with unflushed changes, the state where every other
      // folder was written back and this one was not.
      std::vector<pc::Cut> cuts;
      if (which != States::kFoldersWrittenBack) cuts.push_back({});
      if (which != States::kFlushedOnly && (!afterFlush.count(point) || point == ops.size()))
        for (const std::string& folder : disk.UnflushedFolders()) cuts.push_back({pc::Tear::kOld, true, folder});
      for (pc::Cut& how : cuts) {
        how.tear = pc::kTears[states % std::size(pc::kTears)];
        ++states;
        (how.keepOtherFolders ? outcome.foldersKept : afterFlush.count(point) ? outcome.atFlushes : outcome.between)++;
        const std::string cut = root_ / (name + "-cut");
        fs::remove_all(cut);
        if (!disk.WriteCutState(cut, how)) {
          ADD_FAILURE() << "cannot write the cut state to " << cut;
          return outcome;
        }
        std::string fault = check(cut);
        if (fault.empty()) {
          ++outcome.passed;
          continue;
        }
        outcome.faults.push_back("cut after operation " + std::to_string(point) + " of " + std::to_string(ops.size()) +
                                 (point ? " (" + ops[point - 1].Describe() + ")" : std::string()) +
                                 ", unflushed data: " + pc::TearName(how.tear) +
                                 (how.keepOtherFolders ? ", every folder but " + how.dropped + " written back" : "") +
                                 ": " + fault);
      }
    }
    outcome.states = states;
    std::printf("%s: %zu operations, %zu flushes; %zu cut states: %zu after a flush, %zu between flushes, %zu of "
                "those with all folders but one written back; %zu passed\n",
                name.c_str(), outcome.operations, outcome.flushes, outcome.states, outcome.atFlushes, outcome.between,
                outcome.foldersKept, outcome.passed);
    return outcome;
  }

  Outcome CutInstall(States which);

  static void ExpectNoFaults(const Outcome& outcome) {
    std::string all;
    for (const std::string& f : outcome.faults) all += "\n  " + f;
    EXPECT_TRUE(outcome.faults.empty()) << outcome.faults.size() << " of " << outcome.states << " cut states failed:" << all;
    EXPECT_GT(outcome.atFlushes + outcome.foldersKept, 0u);
  }

  inline static bool privateMounts_ = false;
  testsupport::TempFolder root_;
  bool onTmpfs_ = false;
  Tree installed10_, release11_;
};

TEST_F(PowerCutTest, DownloadCutAnywhereIsFinishedByTheNextDownload) {
  testsupport::NginxServer nginx(root_ / "www", 14);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  WriteFile(app10() + "Configs/Harbinor.cfg", "[Harbinor]\nServer=http://" + nginx.host() + "/tlv5.update/\n");
  installed10_ = Files(app10());
  auto outcome = CutEverywhere("download", app10(), [&](const std::string& app) { return CheckAndDownload(app); },
                               [&](const std::string& app) -> std::string {
    // The update log says that the set is complete: install mode trusts it.
    Tree cut = Files(app);
    if (cut.count(kUpdateLog))
      for (const auto& [name, bytes] : release11_)
        if (!cut.count("dvd/" + name) || cut["dvd/" + name] != bytes)
          return "the update log is there, but dvd/" + name + " is not whole";
    std::string failure = CheckAndDownload(app);
    if (!failure.empty()) return failure;
    Tree staged, installed;
    for (auto& [name, bytes] : Files(app)) {
      if (name.rfind("dvd/", 0) == 0) staged[name.substr(4)] = bytes;
      else if (name.rfind("Configs/", 0) != 0) installed[name] = bytes;  // settings and the digest cache
    }
    Tree wantStaged = release11_, wantInstalled = installed10_;
    wantStaged["@update@.log"] = "";
    std::erase_if(wantInstalled, [](const auto& file) { return file.first.rfind("Configs/", 0) == 0; });
    std::string faults = Differences(staged, wantStaged);
    if (!faults.empty()) return "staged:" + faults;
    faults = Differences(installed, wantInstalled);
    if (!faults.empty()) return "installed:" + faults;
    if (ReadFile(app + "/Configs/Harbinor.cfg").find("Server=http://" + nginx.host()) == std::string::npos)
      return "the settings lost the server: " + testsupport::Show(ReadFile(app + "/Configs/Harbinor.cfg"));
    return "";
  });
  ExpectNoFaults(outcome);
}

// An install cut anywhere, from the downloaded state.
PowerCutTest::Outcome PowerCutTest::CutInstall(States which) {
  testsupport::NginxServer nginx(root_ / "www", 14);
  EXPECT_TRUE(nginx.running()) << nginx.error();
  WriteFile(app10() + "Configs/Harbinor.cfg", "[Harbinor]\nServer=http://" + nginx.host() + "/tlv5.update/\n");
  std::string downloaded = CheckAndDownload(app10());
  EXPECT_EQ(downloaded, "");
  if (!downloaded.empty()) return {};
  auto check = [&](const std::string& app) -> std::string {
    // Every installed name holds a whole file, the old or the new one.
    for (const auto& [name, bytes] : Files(app)) {
      if (!release11_.count(name)) continue;
      auto old = installed10_.find(name);
      if (bytes != release11_[name] && (old == installed10_.end() || bytes != old->second))
        return name + " is neither the old nor the new file (" + std::to_string(bytes.size()) + " bytes)";
    }
    std::string failure = Install(app);
    if (!failure.empty()) return failure;
    std::string faults = NewReleaseInstalled(app);
    if (!faults.empty()) return "after the next install:" + faults;
    if (engine::ProbeFileVersion(app + "/Harbinor") != engine::PackVersion(1, 1, 0, 0))
      return "the updater is not the new one";
    return "";
  };
  return CutEverywhere("install", app10(), [&](const std::string& app) { return Install(app); }, check, which);
}

TEST_F(PowerCutTest, InstallCutAnywhereIsFinishedByTheNextInstall) {
  ExpectNoFaults(CutInstall(States::kFlushedOnly));
}

// A file system may write back the folders a rename between two folders
// touched in either order. The install keeps each staged name until the
// installed folder is on the disk, so no order loses a file.
TEST_F(PowerCutTest, InstallCutWithFoldersWrittenBackInAnyOrderIsFinishedByTheNextInstall) {
  ExpectNoFaults(CutInstall(States::kFoldersWrittenBack));
}

TEST_F(PowerCutTest, PublishingCutAnywhereIsFinishedByTheNextRun) {
  // Release 1.0 is published; the run replaces it with the next release.
  // Their programs are left out: publishing treats every file alike, and
  // smaller trees make more cuts in the time.
  const std::string release10 = root_ / "data10", release11 = root_ / "data11", start = root_ / "www10",
                    reference = root_ / "www11";
  for (const auto& [from, to] : {std::pair(app10(), release10), std::pair(release(), release11)}) {
    fs::copy(from, to, fs::copy_options::recursive);
    fs::remove(to + "/Harbinor");
    fs::remove(to + "/Tolvaro");
  }
  ASSERT_EQ(Publish(release10, start, false), "");
  ASSERT_EQ(Publish(release11, reference, false), "");
  const Tree oldTree = Files(start + "/tlv5.update");
  const Tree newTree = Files(reference + "/tlv5.update");
  auto outcome = CutEverywhere("publish", start, [&](const std::string& www) { return Publish(release11, www, true); },
                               [&](const std::string& www) -> std::string {
    // What a web server would serve right after the cut: one whole release.
    if (PathExists(www + "/tlv5.update")) {
      Tree served = Files(www + "/tlv5.update");
      if (served != oldTree && served != newTree)
        return "the served tree is neither release:" + Differences(served, newTree);
    }
    std::string failure = Publish(release11, www, true);
    if (!failure.empty()) return failure;
    Tree published = Files(www);
    Tree want;
    for (const auto& [name, bytes] : newTree) want["tlv5.update/" + name] = bytes;
    std::string faults = Differences(published, want);
    if (!faults.empty()) return "after the next run:" + faults;
    std::string top;
    for (const auto& e : fs::directory_iterator(www)) top += " " + e.path().filename().string();
    return top == " tlv5.update" ? "" : "the output folder holds:" + top;
  });
  ExpectNoFaults(outcome);
}

}  // namespace
