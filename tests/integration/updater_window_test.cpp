// The updater's desktop window, as a user meets it: the real program on an
// X server of its own (Xvfb), against a scripted server on 127.0.0.6:80,
// driven with xdotool. A screenshot of every state is kept beside the test
// program (gui_*.png).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "engine/digest.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/x_server.h"

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;
using testsupport::XServer;

const auto* const kXServer = ::testing::AddGlobalTestEnvironment(XServer::instance = new XServer);

struct Geometry {
  int width = 0;
  int height = 0;
};

Geometry WindowGeometry(const std::string& window) {
  auto r = testsupport::Xdo({"getwindowgeometry", "--shell", window});
  Geometry g;
  std::istringstream lines(r.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("WIDTH=", 0) == 0) g.width = std::stoi(line.substr(6));
    if (line.rfind("HEIGHT=", 0) == 0) g.height = std::stoi(line.substr(7));
  }
  return g;
}

void Click(const std::string& window, int x, int y) {
  testsupport::Xdo({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
}

TEST(UpdaterWindowTest, ChecksShowsTheUpdateAndDownloadsOnAClick) {
  if (!XServer::instance->problem().empty()) GTEST_SKIP() << XServer::instance->problem();
  testsupport::LoopbackServer server(6);
  ASSERT_TRUE(server.listening());
  testsupport::TempFolder root;
  std::string app = root / "app";
  testsupport::CopyFile(HARBINOR_BIN, app + "/Harbinor");
  WriteFile(app + "/Configs/Harbinor.cfg", "[Harbinor]\nServer=http://127.0.0.6/tlv5.update/\n");
  WriteFile(app + "/notes.txt", "version=1.0\r\n");
  mkdir((root / "run").c_str(), 0700);

  std::string notes = "version=1.1\r\n" + std::string(200000, 'n');
  std::string digest = engine::DigestText(reinterpret_cast<const std::uint8_t*>(notes.data()), notes.size());
  server.Enqueue(testsupport::RespondOk("@TLV-DVD Update@\r\nTolvaro 1.1 is here.\r\n@TLV-DVD Update@\r\n"
                                        "[Item]\r\nFile=notes.txt\r\nMD5=" + digest + "\r\nSize=" +
                                        std::to_string(notes.size()) + "\r\nVersion=1.1\r\n"
                                        "Comment=Release notes, see https://www.tolvaro.example/notes\r\n"));
  // The file arrives in two halves, a moment apart, so that the download
  // can be seen under way.
  std::string response = testsupport::HttpResponse("200 OK", notes);
  server.Enqueue([response](testsupport::ServerSession& s) {
    s.Send(std::string_view(response).substr(0, response.size() / 2));
    s.Stall(2500);
    s.Send(std::string_view(response).substr(response.size() / 2));
  });

  testsupport::ProcessOptions options;
  options.environment["HARBINOR_TEST_GUARD_FOLDER"] = root / "run";
  options.timeoutMs = 60000;
  testsupport::ChildProcess updater(app + "/Harbinor", options);

  auto found = testsupport::Xdo({"search", "--sync", "--onlyvisible", "--name", "Update Tolvaro DVD"});
  ASSERT_EQ(found.exitCode, 0) << found.output;
  std::string window = found.output.substr(0, found.output.find('\n'));
  testsupport::Shot("gui_1_opened.png");

  // The check runs by itself; the update is offered once the list is in.
  ASSERT_TRUE(server.WaitForRequests(1, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  std::string offered = testsupport::Shot("gui_2_update_available.png");
  if (!offered.empty()) std::printf("screenshot: %s\n", offered.c_str());

  // The buttons sit at the bottom right: close, then main, then help, each
  // 95 pixels wide with the default texts, 30 apart.
  Geometry g = WindowGeometry(window);
  ASSERT_GT(g.width, 300);
  const int buttonY = g.height - 42 + 13;
  const int closeX = g.width - 30 - 95 / 2;
  const int mainX = g.width - 30 - 95 - 30 - 95 / 2;
  Click(window, mainX, buttonY);

  ASSERT_TRUE(server.WaitForRequests(2, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  testsupport::Shot("gui_3_downloading.png");
  EXPECT_FALSE(testsupport::PathExists(app + "/dvd/notes.txt")) << "the file is still in transfer";

  ASSERT_TRUE(testsupport::WaitFor([&] { return testsupport::PathExists(app + "/dvd/@update@.log"); }, 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  testsupport::Shot("gui_4_downloaded.png");
  EXPECT_EQ(ReadFile(app + "/dvd/notes.txt"), notes);

  Click(window, closeX, buttonY);
  auto result = updater.Wait(10000);
  EXPECT_FALSE(result.timedOut) << "the close button did not end the program";
  EXPECT_EQ(result.exitCode, 0) << result.output;
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].substr(0, 40), "GET /tlv5.update/dvd/notes.txt HTTP/1.1\r");
}

}  // namespace
