// The Windows program's real dialogs, as a user meets them under Wine: the
// updater fails a check in German (a UTF-16 language file), then checks,
// offers and downloads an update from nginx, asks before it stops, and
// installs the update behind its install window. It is driven with xdotool
// on an X server of its own; a screenshot of every state goes into the
// folder named by HARBINOR_SHOT_DIR, and none may be blank.
//
// The programs come from the environment: HARBINOR_WINDOWS_BIN (the folder
// of Harbinor.exe and Tolvaro.exe) and HARBINOR_WINDOWS_RUNNER (the command
// that runs them, blank-separated). Without them the test skips.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine/version_number.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/x_server.h"
#include "tools/publish/publisher.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;
using testsupport::XServer;
using testsupport::Xdo;

// Large enough for the update window at 200 %.
const auto* const kXServer = ::testing::AddGlobalTestEnvironment(XServer::instance = new XServer("1280x1024x24"));

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 23);
  return s;
}

struct Geometry {
  int width = 0;
  int height = 0;
};

Geometry WindowGeometry(const std::string& window) {
  Geometry g;
  std::istringstream lines(Xdo({"getwindowgeometry", "--shell", window}).output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("WIDTH=", 0) == 0) g.width = std::stoi(line.substr(6));
    if (line.rfind("HEIGHT=", 0) == 0) g.height = std::stoi(line.substr(7));
  }
  return g;
}

class WindowsWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (bin_.empty()) GTEST_SKIP() << "HARBINOR_WINDOWS_BIN names no Windows build";
    if (!XServer::instance->problem().empty()) GTEST_SKIP() << XServer::instance->problem();
    testsupport::CopyFile(bin_ + "/Harbinor.exe", app() + "Harbinor.exe");
    testsupport::CopyFile(bin_ + "/Tolvaro.exe", app() + "Tolvaro.exe");
    WriteFile(app() + "readme.txt", "version=1.0.0.0\r\n");
  }

  std::string app() const { return root_.path() + "/app/"; }

  testsupport::ProcessOptions Run(std::vector<std::string> arguments) {
    testsupport::ProcessOptions o;
    o.runner = runner_;
    o.arguments = std::move(arguments);
    o.timeoutMs = 120000;
    return o;
  }

  // The first visible window called exactly `title`.
  std::string FindWindow(const std::string& title) {
    auto found = Xdo({"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"});
    EXPECT_EQ(found.exitCode, 0) << title << ": " << found.output;
    return found.output.substr(0, found.output.find('\n'));
  }

  // A screenshot (of the screen, or of one window) that shows something.
  void Shot(const std::string& name, int paintMs = 400, const std::string& window = "root") {
    std::this_thread::sleep_for(std::chrono::milliseconds(paintMs));
    std::string path = testsupport::Shot(name, window);
    ASSERT_FALSE(path.empty()) << name;
    EXPECT_GT(testsupport::ColourCount(path), 8) << path << " is blank";
  }

  // A click at a point of the window's client area.
  void Click(const std::string& window, int x, int y) {
    Xdo({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
  }

  std::string bin_ = Env("HARBINOR_WINDOWS_BIN");
  std::vector<std::string> runner_ = Words(Env("HARBINOR_WINDOWS_RUNNER"));
  testsupport::TempFolder root_;
};

TEST_F(WindowsWindowTest, AFailedCheckInTheUsersLanguage) {
  testsupport::LoopbackServer server(11);
  ASSERT_TRUE(server.listening());
  // The list comes late and then breaks off: checking, then a failed check.
  server.Enqueue([](testsupport::ServerSession& s) {
    s.Stall(2500);
    s.Close();
  });
  WriteFile(app() + "Configs/Harbinor.cfg", "[Harbinor]\r\nServer=http://127.0.0.11/tlv5.update/\r\n");
  WriteFile(app() + "Configs/EditorOption.cfg", "[General]\r\nLanguage=Deutsch\r\n");
  WriteFile(app() + "Language/Deutsch.ini",
            testsupport::Utf16File(u"[editor]\r\n1=x\r\n[harbinor.exe]\r\n114=600,340\r\n115=Courier New\r\n"
                                   u"116=15\r\n117=Suche nach Updates...\r\n110=Update fehlgeschlagen.\r\n"
                                   u"125=\"Wiederholen\" dr\u00FCcken, um es erneut zu versuchen.\r\n"
                                   u"127=Wiederholen\r\n128=Hilfe\r\n129=Schlie\u00DFen\r\n"));

  testsupport::ChildProcess updater(app() + "Harbinor.exe", Run({}));
  std::string window = FindWindow("Update Tolvaro DVD");
  Shot("windows_1_checking.png");
  Geometry g = WindowGeometry(window);
  EXPECT_EQ(g.width, 600) << "the outer size of the language file";
  EXPECT_EQ(g.height, 340);
  ASSERT_TRUE(server.WaitForRequests(1, 20000));
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  Shot("windows_2_check_failed.png");

  // Esc closes the window outside a run.
  Xdo({"windowfocus", "--sync", window});
  Xdo({"key", "Escape"});
  auto result = updater.Wait(20000);
  EXPECT_FALSE(result.timedOut) << "Esc did not close the window";
  EXPECT_EQ(result.exitCode, 0) << result.output;
}

TEST_F(WindowsWindowTest, ChecksDownloadsAndInstallsAnUpdateFromNginx) {
  // The next release: a new text file and a large data file, published.
  std::string release = root_.path() + "/release/";
  WriteFile(release + "readme.txt", "version=1.1.0.0\r\nTolvaro, now with titles\r\n");
  std::string effects = Noise(24u << 20, 7);
  WriteFile(release + "effects/glow.dat", effects);
  publish::PublishOptions options;
  options.releaseFolder = release;
  options.outputFolder = root_.path() + "/www";
  options.introText = "Tolvaro 1.1 is here: www.tolvaro.example/news";
  options.defaultVersion = engine::PackVersion(1, 1, 0, 0);
  options.notes["effects/glow.dat"] = {"New glow effect"};
  auto published = publish::Publish(options);
  ASSERT_TRUE(published.ok) << published.errors.front();
  // The large file comes slowly enough to be seen under way.
  testsupport::NginxServer nginx(root_.path() + "/www", 12, "limit_rate 4m;");
  ASSERT_TRUE(nginx.running()) << nginx.error();
  WriteFile(app() + "Configs/Harbinor.cfg", "[Harbinor]\r\nServer=http://127.0.0.12/tlv5.update/\r\n");

  testsupport::ChildProcess updater(app() + "Harbinor.exe", Run({}));
  std::string window = FindWindow("Update Tolvaro DVD");
  ASSERT_TRUE(testsupport::WaitFor([&] { return nginx.Requests().size() >= 1; }, 20000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  Shot("windows_3_update_available.png");

  // The main button (Download) is the middle one of the three at the bottom.
  Geometry g = WindowGeometry(window);
  ASSERT_GT(g.width, 300);
  auto clickMain = [&] { Click(window, g.width - 30 - 95 - 30 - 95 / 2, g.height - 42 + 13); };
  clickMain();
  // nginx logs a request when it has been served: the file is under way
  // until then, for about 6 s.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (const std::string& request : nginx.Requests())
    ASSERT_EQ(request.find("glow.dat"), std::string::npos) << "the download ended too soon to be seen";
  Shot("windows_4_downloading.png");

  // The close box asks first; Cancel lets the download go on.
  Xdo({"windowfocus", "--sync", window});
  Xdo({"key", "alt+F4"});
  std::string box = FindWindow("Message");
  Shot("windows_5_message_box.png");
  Xdo({"windowfocus", "--sync", box});
  Xdo({"key", "Escape"});

  ASSERT_TRUE(testsupport::WaitFor([&] { return testsupport::PathExists(app() + "dvd/@update@.log"); }, 60000));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  Shot("windows_6_downloaded.png");
  EXPECT_EQ(ReadFile(app() + "dvd/effects/glow.dat"), effects);
  Xdo({"windowfocus", "--sync", window});
  Xdo({"key", "Escape"});
  auto result = updater.Wait(20000);
  EXPECT_FALSE(result.timedOut) << "the window did not close";

  // Install mode renames the staged files into place behind its window and
  // starts the main application. Many small files more in the staging
  // folder keep the window up long enough to be seen, also on a busy
  // machine: the window closes as soon as the install ends.
  constexpr int kMany = 4000;
  for (int i = 0; i < kMany; ++i) WriteFile(app() + "dvd/effects/many/" + std::to_string(i) + ".dat", "m");
  testsupport::ChildProcess installer(app() + "Harbinor.exe", Run({"/u"}));
  FindWindow("Tolvaro copying updated files...");
  Shot("windows_7_installing.png", 50);
  result = installer.Wait(60000);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(ReadFile(app() + "effects/glow.dat"), effects);
  EXPECT_EQ(ReadFile(app() + "effects/many/" + std::to_string(kMany - 1) + ".dat"), "m");
  EXPECT_EQ(ReadFile(app() + "readme.txt"), "version=1.1.0.0\r\nTolvaro, now with titles\r\n");
  EXPECT_FALSE(testsupport::PathExists(app() + "dvd/@update@.log"));
}

// At 100, 150 and 200 percent (Wine's DPI) the update window has the outer
// size of text 114 ("500,310") scaled; screenshots of it and of the install
// window, windows_dpi<percent>_update.png and windows_dpi<percent>_install.png.
TEST_F(WindowsWindowTest, TheWindowsGrowWithTheScreensDpi) {
  for (int percent : {100, 150, 200}) {
    SCOPED_TRACE(percent);
    auto at = [&](std::vector<std::string> arguments) {
      testsupport::ProcessOptions o = Run(std::move(arguments));
      o.runner.insert(o.runner.end(), {"--dpi", std::to_string(96 * percent / 100)});
      return o;
    };
    // Many small files keep the install window up for some seconds.
    for (int i = 0; i < 4000; ++i) WriteFile(app() + "dvd/many/" + std::to_string(i) + ".dat", "m");
    WriteFile(app() + "dvd/@update@.log", "");
    const std::string name = "windows_dpi" + std::to_string(percent);
    testsupport::ChildProcess updater(app() + "Harbinor.exe", at({}));
    std::string window = FindWindow("Update Tolvaro DVD");
    Shot(name + "_update.png", 800, window);
    Geometry g = WindowGeometry(window);
    EXPECT_TRUE(g.width == 5 * percent && g.height == 31 * percent / 10) << g.width << "x" << g.height;
    Xdo({"windowfocus", "--sync", window});
    Xdo({"key", "Escape"});
    EXPECT_FALSE(updater.Wait(20000).timedOut);
    testsupport::ChildProcess installer(app() + "Harbinor.exe", at({"/u"}));
    Shot(name + "_install.png", 50, FindWindow("Tolvaro copying updated files..."));
    EXPECT_FALSE(installer.Wait(60000).timedOut);
  }
}

}  // namespace
