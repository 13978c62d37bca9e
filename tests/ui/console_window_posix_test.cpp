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

#include <cstdlib>
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

}  // namespace
