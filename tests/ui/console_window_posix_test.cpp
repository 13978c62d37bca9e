// The console window's tests that need what only Linux has: pseudo-terminals
// standing for the user's terminal, signals, and help files built with
// chmcmd and read with chmlib. Also the pipe of the tests on every system.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/terminal.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/console_window_test.h"
#include "ui/console/console_window.h"
#include "ui/help_text.h"

namespace consoletest {

Pipe::Pipe() {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  readEnd_ = fds[0];
  writeEnd_ = fds[1];
}

Pipe::~Pipe() {
  CloseWriteEnd();
  if (readEnd_ >= 0) close(readEnd_);
}

void Pipe::Send(const std::string& bytes) {
  ASSERT_GE(writeEnd_, 0);
  ASSERT_EQ(write(writeEnd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void Pipe::CloseWriteEnd() {
  if (writeEnd_ >= 0) close(writeEnd_);
  writeEnd_ = -1;
}

}  // namespace consoletest

namespace {

using namespace consoletest;
using ui::ConsoleOptions;
using ui::ConsoleWindow;
using ui::Key;
using ui::WindowTemplate;

class HelpFile : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::WriteFile(tmp / "htm/chap00-2.htm",
                           "<html><head><title>Updating</title></head><body><h1>Updating the program</h1>"
                           "<p>Press <b>Download</b>.</p></body></html>");
    testsupport::WriteFile(tmp / "help.hhp",
                           "[OPTIONS]\nCompiled file=help.chm\nDefault topic=htm/chap00-2.htm\n"
                           "Language=0x409 English (United States)\nTitle=Help\n\n[FILES]\nhtm/chap00-2.htm\n");
    std::string command = "cd '" + tmp.path() + "' && chmcmd help.hhp >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 || !testsupport::PathExists(tmp / "help.chm"))
      GTEST_SKIP() << "chmcmd (fp-utils) is needed to build a help file";
  }
  testsupport::TempFolder tmp;
};

TEST_F(HelpFile, TopicsAreReadOutOfTheCompiledFile) {
  auto page = ui::ReadHelpTopic(tmp / "help.chm", "/htm/chap00-2.htm");
  ASSERT_TRUE(page.has_value());
  EXPECT_NE(page->find("<h1>Updating the program</h1>"), std::string::npos) << *page;
  EXPECT_EQ(ui::ReadHelpTopic(tmp / "help.chm", "HTM/CHAP00-2.HTM"), page) << "without the slash, any case";
  EXPECT_FALSE(ui::ReadHelpTopic(tmp / "help.chm", "/htm/missing.htm").has_value());
  EXPECT_FALSE(ui::ReadHelpTopic(tmp / "missing.chm", "/htm/chap00-2.htm").has_value());
  EXPECT_FALSE(ui::ReadHelpTopic(tmp / "help.hhp", "/htm/chap00-2.htm").has_value()) << "not a help file";
}

TEST_F(HelpFile, TheTerminalShowsTheTopicUntilEsc) {
  Console c(WindowTemplate::kUpdateWindow, true);
  c.Label();
  c.window->ShowWindow();
  c.window->OpenHelpTopic(tmp / "missing.chm", "/htm/chap00-2.htm");
  c.window->OpenHelpTopic(tmp / "help.chm", "/htm/missing.htm");
  EXPECT_NE(c.window->RenderText(60, 20).find("[>Close<]"), std::string::npos) << "nothing happens";

  c.window->OpenHelpTopic(tmp / "help.chm", "/htm/chap00-2.htm");
  std::string frame = c.window->RenderText(60, 20);
  EXPECT_NE(frame.find("  Updating the program\n\n  Press Download."), std::string::npos) << frame;
  EXPECT_EQ(frame.find("Close"), std::string::npos) << frame;
  // Keys belong to the help view, even during a run.
  std::vector<Key> keys;
  ui::WindowSystem::KeyFilter filter = [&](Key k) { keys.push_back(k); };
  c.SendAndDrain("\x1b[B\x1b", &filter);
  c.Pump(120, &filter);
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(c.sink.Take(), Lines{});
  EXPECT_NE(c.window->RenderText(60, 20).find("[>Close<]"), std::string::npos);
}

// A pseudo-terminal: the slave side stands for the user's terminal.
class PseudoTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) GTEST_SKIP() << "no pseudo-terminals";
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
  }
  void TearDown() override {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  tcflag_t LocalFlags() const {
    struct termios t;
    EXPECT_EQ(tcgetattr(slave_, &t), 0);
    return t.c_lflag;
  }
  int master_ = -1;
  int slave_ = -1;
};

TEST_F(PseudoTerminal, RawModeComesAndGoes) {
  EXPECT_TRUE(platform::IsTerminal(slave_));
  tcflag_t before = LocalFlags();
  ASSERT_TRUE(before & ICANON);
  Pipe out;
  {
    platform::RawTerminalMode raw = platform::RawTerminalMode::Enter(slave_, out.writeEnd(), "bye");
    ASSERT_TRUE(raw.active());
    EXPECT_EQ(LocalFlags() & (ICANON | ECHO), 0u);
    EXPECT_TRUE(LocalFlags() & ISIG) << "Ctrl-C still interrupts";
    EXPECT_FALSE(platform::RawTerminalMode::Enter(slave_, out.writeEnd(), "").active()) << "one at a time";
    platform::RawTerminalMode moved = std::move(raw);
    EXPECT_FALSE(raw.active());
    moved.SetLeaveText("\x1b[?25h");
  }
  EXPECT_EQ(LocalFlags(), before);
  std::string written;
  EXPECT_EQ(platform::ReadAvailableInput(out.readEnd(), written, 100), platform::InputState::kData);
  EXPECT_EQ(written, "\x1b[?25h");
  EXPECT_FALSE(platform::RawTerminalMode::Enter(out.readEnd(), out.writeEnd(), "").active()) << "a pipe is no terminal";
}

TEST_F(PseudoTerminal, ASignalPutsTheTerminalBackBeforeTheEnd) {
  tcflag_t before = LocalFlags();
  Pipe out;
  int status = testsupport::RunInChild([&] {
    platform::RawTerminalMode raw = platform::RawTerminalMode::Enter(slave_, out.writeEnd(), "restored");
    if (!raw.active()) return 3;
    raise(SIGTERM);
    return 4;  // not reached: the signal ends the process
  });
  EXPECT_EQ(status, 128 + SIGTERM);
  EXPECT_EQ(LocalFlags(), before);
  std::string written;
  EXPECT_EQ(platform::ReadAvailableInput(out.readEnd(), written, 100), platform::InputState::kData);
  EXPECT_EQ(written, "restored");
}

TEST_F(PseudoTerminal, TheConsoleWindowOnATerminalRestoresItAtTheEnd) {
  tcflag_t before = LocalFlags();
  struct winsize ws {};
  ws.ws_col = 70;
  ws.ws_row = 22;
  ASSERT_EQ(ioctl(slave_, TIOCSWINSZ, &ws), 0);
  std::ostringstream out;
  {
    ConsoleOptions options;
    options.terminal = true;
    options.inputStream = slave_;
    options.output = &out;
    options.terminalOutput = slave_;
    options.rawInput = true;
    ConsoleWindow window(options);
    EXPECT_EQ(LocalFlags() & ICANON, 0u);
    window.ShowWindow();
    // The frame is as wide as the terminal says.
    EXPECT_NE(out.str().find("\x1b[22;1H"), std::string::npos);
    EXPECT_EQ(out.str().find("\x1b[23;1H"), std::string::npos);
    RecordingSink sink;
    window.SetEventSink(&sink);
    ASSERT_EQ(write(master_, "\x1bOP", 3), 3);
    std::int64_t end = Now() + 2000;
    while (sink.events.empty() && Now() < end) {
      if (!window.DispatchOne(nullptr)) window.WaitForEvents(50);
    }
    EXPECT_EQ(sink.events, Lines{"help"});
  }
  EXPECT_EQ(LocalFlags(), before);
  EXPECT_NE(out.str().find("\x1b[?1049l"), std::string::npos);
}

// --- The window in a real terminal emulator: tmux runs this program's
// DISABLED_ShowWindow in a pane; its screens are captured into
// <build>/captures/ and checked there.

// The update window on this process's own terminal until Esc closes it.
TEST(ConsoleInTmux, DISABLED_ShowWindow) {
  std::setlocale(LC_CTYPE, "");
  ui::ConsoleOptions options;
  options.terminal = true;
  options.terminalOutput = STDOUT_FILENO;
  options.rawInput = true;
  ConsoleWindow window(options);
  RecordingSink sink;
  sink.onCommand = [&](int id) {
    if (id == ui::kCloseButton) window.DestroyWindow();
  };
  window.SetEventSink(&sink);
  window.SetText(ui::kMainButton, "Download");
  window.Enable(ui::kMainButton, true);
  window.SetText(ui::kCloseButton, "Close");
  window.SetText(ui::kHelpButton, "Help");
  window.SetText(ui::kHeadline, "A newer version is available.");
  std::string message = "Intro: Tolvaro 1.1\n\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe8\xaa\xac\xe6\x98\x8e: ";
  for (int i = 0; i < 12; ++i) message += "\xe6\x96\xb0\xe3\x81\x97\xe3\x81\x84\xe6\xa9\x9f\xe8\x83\xbd ";
  for (int i = 1; i <= 30; ++i) message += "\nline " + std::to_string(i);
  window.SetText(ui::kMessageArea, message);
  window.ShowWindow();
  window.RunMessageLoop();
}

class Tmux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("tmux -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is needed";
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self_.assign(self, static_cast<std::size_t>(n));
    captures_ = self_.substr(0, self_.rfind('/'));
    captures_ = captures_.substr(0, captures_.rfind('/')) + "/captures";
    ASSERT_EQ(std::system(("mkdir -p '" + captures_ + "'").c_str()), 0);
    tmux_ = "LC_ALL=C.UTF-8 tmux -u -L harbinor-console-test-" + std::to_string(getpid()) + " ";
  }
  void TearDown() override {
    if (!tmux_.empty()) Run("kill-server > /dev/null 2>&1");
  }
  int Run(const std::string& command) { return std::system((tmux_ + command).c_str()); }

  // The pane's text once it shows `expected` (or after 5 s), saved as
  // captures/<name>.txt.
  std::string Capture(const std::string& name, const std::string& expected) {
    std::string file = captures_ + "/" + name + ".txt";
    std::string text;
    for (int i = 0; i < 100; ++i) {
      Run("capture-pane -p -t console > '" + file + "'");
      std::ifstream in(file);
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (text.find(expected) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return text;
  }

  std::string self_, captures_, tmux_;
};

TEST_F(Tmux, ScreensOfTheUpdateWindow) {
  ASSERT_EQ(Run("new-session -d -s console -x 80 -y 24 \"exec '" + self_ +
                "' --gtest_also_run_disabled_tests --gtest_filter=ConsoleInTmux.DISABLED_ShowWindow\""),
            0);
  std::string screen = Capture("update_80x24", "[>Close<]");
  std::vector<std::string> rows;
  std::istringstream in(screen);
  for (std::string row; std::getline(in, row);) rows.push_back(row);
  ASSERT_GE(rows.size(), 24u) << screen;
  ASSERT_NE(rows[5].find('|'), std::string::npos) << screen;
  ASSERT_NE(rows[6].find('|'), std::string::npos) << screen;
  EXPECT_EQ(rows[5].rfind("  | Intro: Tolvaro 1.1", 0), 0u) << screen;
  // The wide characters' row ends at the same column as the others: its
  // border is where the border of a plain row is.
  std::size_t plainEnd = rows[5].find_last_not_of(' ');
  std::size_t wideEnd = rows[6].find_last_not_of(' ');
  EXPECT_EQ(rows[5].substr(plainEnd), "|");
  EXPECT_EQ(rows[6].substr(wideEnd), "|");
  int wideCells = 0;
  for (unsigned char b : rows[6]) {
    if ((b & 0xC0) != 0x80) wideCells += (b >= 0xE3 && b <= 0xE9) ? 2 : 1;
  }
  EXPECT_EQ(static_cast<std::size_t>(wideCells), plainEnd + 1) << rows[6];

  Run("resize-window -t console -y 10");
  screen = Capture("update_80x10", "Terminal too small");
  EXPECT_EQ(screen.rfind("Terminal too small: make it at least 12 rows high", 0), 0u) << screen;
  Run("resize-window -t console -y 24");
  EXPECT_NE(Capture("update_80x24_again", "[>Close<]").find("[>Close<]"), std::string::npos);
  Run("send-keys -t console Escape");
}

}  // namespace
