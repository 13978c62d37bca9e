// The terminal front end: the line protocol through a real pipe and a
// string stream, key presses as a terminal sends them, the drawn frame,
// real-time timers, message boxes, the end of input; and the platform's
// terminal and shell helpers under it. What needs a real terminal or a
// compiled help file is in console_window_posix_test.cpp.
#include "ui/console/console_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/shell.h"
#include "platform/terminal.h"
#include "tests/support/child_process.h"
#include "tests/ui/console_window_test.h"
#include "ui/console/text_layout.h"
#include "ui/help_text.h"

namespace {

using namespace consoletest;
using ui::Answer;
using ui::Key;
using ui::WindowTemplate;

constexpr const char* kConfirm = "Press OK to cancel the update.\n";

// --- The line protocol: what is written.

TEST(ConsoleLines, ShowWritesTheWholeWindowThenOnlyChanges) {
  Console c;
  c.Label();
  c.window->SetText(ui::kHeadline, "Check for Updates...");
  EXPECT_EQ(c.Lines(), Lines{}) << "a hidden window writes nothing";

  c.window->ShowWindow();
  EXPECT_EQ(c.Lines(), (Lines{"window: shown", "title: Update Tolvaro DVD", "headline: Check for Updates...",
                              "message: ", "status: ", "size: hidden", "progress: 0/100",
                              "button main: Download (disabled)", "button close: Close (enabled)",
                              "button help: Help (enabled)", "focus: close"}));
  c.window->ShowWindow();
  EXPECT_EQ(c.Lines(), Lines{});

  // Setting what is already there writes nothing; an element is written
  // once per step, with its value at the end of the step.
  c.window->SetText(ui::kHeadline, "Check for Updates...");
  c.window->SetProgressRange(200);
  c.window->SetProgress(5);
  c.window->SetProgress(500);
  c.window->SetProgress(-3);
  EXPECT_EQ(c.Lines(), Lines{}) << "nothing is written from a setter";
  EXPECT_EQ(c.Settled(), Lines{"progress: 0/200"});
  c.window->SetProgress(5);
  EXPECT_EQ(c.Settled(), Lines{"progress: 5/200"});
  EXPECT_EQ(c.window->Progress(), 5);

  // A hidden control's text is not visible; showing it writes it.
  c.window->SetText(ui::kSizeDisplay, "5.00 Mb / 20.00 Mb");
  EXPECT_EQ(c.Settled(), Lines{});
  c.window->Show(ui::kSizeDisplay, true);
  c.window->SetText(ui::kSizeDisplay, "6.00 Mb / 20.00 Mb");
  EXPECT_EQ(c.Settled(), (Lines{"size: shown", "size: 6.00 Mb / 20.00 Mb"}));
  c.window->Show(ui::kSizeDisplay, false);
  EXPECT_EQ(c.Settled(), Lines{"size: hidden"});
  c.window->Show(ui::kSizeDisplay, true);
  EXPECT_EQ(c.Settled(), (Lines{"size: shown", "size: 6.00 Mb / 20.00 Mb"}));

  c.window->Enable(ui::kMainButton, true);
  c.window->Focus(ui::kMainButton);
  c.window->SetText(ui::kStatusLine, "Press \"Download\" to download update files.");
  c.window->SetTitle("7% - Update Tolvaro DVD");
  EXPECT_EQ(c.Settled(), (Lines{"title: 7% - Update Tolvaro DVD",
                                "status: Press \"Download\" to download update files.",
                                "button main: Download (enabled)", "focus: main"}));

  c.window->SetText(ui::kHeadline, "last");
  c.window->DestroyWindow();
  c.window->SetText(ui::kHeadline, "gone");
  c.window->DestroyWindow();
  EXPECT_EQ(c.Lines(), (Lines{"headline: last", "window: closed"})) << "what changed goes out before the end";
  EXPECT_TRUE(c.window->IsDestroyed());
  EXPECT_FALSE(c.window->IsVisible());
}

// A failed check sets the main button several times in one handler; a
// script waiting for "Check" must not see it on the way to "Retry".
TEST(ConsoleLines, OnlyTheStateAtTheEndOfAStepIsWritten) {
  Console c;
  c.Label();
  c.window->SetText(ui::kMainButton, "Check");
  c.window->Enable(ui::kMainButton, true);
  c.window->ShowWindow();
  c.Lines();
  c.sink.onCommand = [&](int) {  // UpdateDialog::OnMainButton after a failed check
    c.window->Enable(ui::kMainButton, false);
    c.window->SetText(ui::kHeadline, "Checking for updates...");
    c.window->SetText(ui::kHeadline, "Could not connect to the server.");
    c.window->SetText(ui::kStatusLine, "Press \"Retry\" to check again.");
    c.window->SetText(ui::kMainButton, "Retry");
    c.window->SetText(ui::kMainButton, "Check");
    c.window->Enable(ui::kMainButton, true);
    c.window->SetText(ui::kMainButton, "Retry");
  };
  c.SendAndDrain("main\n");
  EXPECT_EQ(c.Settled(), (Lines{"headline: Could not connect to the server.",
                                "status: Press \"Retry\" to check again.", "button main: Retry (enabled)"}));
  c.sink.onCommand = [&](int) {
    c.window->SetText(ui::kMainButton, "Check");
    c.window->SetText(ui::kMainButton, "Retry");
  };
  c.SendAndDrain("main\n");
  EXPECT_EQ(c.Settled(), Lines{}) << "a step that ends where it began writes nothing";
}

TEST(ConsoleLines, TextsAreEscapedToOneLine) {
  Console c;
  c.window->ShowWindow();
  c.Lines();
  c.window->SetText(ui::kMessageArea, "a\\b\r\nc\td\x01\x7f" "caf\xc3\xa9");
  c.window->SetText(ui::kHeadline, "");
  c.window->SetText(ui::kHeadline, "two\nlines");
  EXPECT_EQ(c.Settled(), (Lines{"headline: two\\nlines", "message: a\\\\b\\r\\nc\\td\\x01\\x7fcaf\xc3\xa9"}));
  c.window->OpenLink("http://www.tolvaro.example/download/");
  c.window->OpenHelpTopic("/opt/tolvaro/help.chm", "/htm/chap00-2.htm");
  EXPECT_EQ(c.Lines(),
            (Lines{"link: http://www.tolvaro.example/download/", "help: /opt/tolvaro/help.chm /htm/chap00-2.htm"}));
}

TEST(ConsoleLines, InstallWindowHasATitleAndOneProgressBar) {
  Console c(WindowTemplate::kInstallWindow);
  EXPECT_EQ(c.window->Title(), "Tolvaro copying updated files...");
  c.window->SetProgressRange(1000);
  c.window->ShowWindow();
  c.window->SetProgress(250);
  EXPECT_EQ(c.Settled(), (Lines{"window: shown", "title: Tolvaro copying updated files...", "progress: 0/1000",
                              "progress: 250/1000"}));
  EXPECT_EQ(c.window->FocusedControl(), 0);

  // Enter and Esc do nothing; it cannot be closed and has no buttons.
  c.SendAndDrain("enter\nesc\nclose\nmain\ntab\n");
  EXPECT_EQ(c.sink.Take(), Lines{});
  EXPECT_NE(c.err.str().find("cannot be closed"), std::string::npos) << c.err.str();
  EXPECT_NE(c.err.str().find("no such button"), std::string::npos) << c.err.str();
  EXPECT_EQ(c.Lines(), Lines{});

  // Nor does the end of input close it.
  c.input.CloseWriteEnd();
  c.Pump(60);
  EXPECT_EQ(c.sink.Take(), Lines{});
  EXPECT_FALSE(c.window->IsDestroyed());
}

// --- The line protocol: what is read.

TEST(ConsoleCommands, ButtonsCloseLinksAndKeysBecomeEvents) {
  Console c;
  c.Label();
  c.window->ShowWindow();
  c.Lines();

  c.SendAndDrain("main\n");
  EXPECT_EQ(c.sink.Take(), Lines{}) << "the main button starts disabled";
  EXPECT_NE(c.err.str().find("main ignored: it is disabled"), std::string::npos) << c.err.str();

  c.window->Enable(ui::kMainButton, true);
  c.window->SetText(ui::kMessageArea, "See http://www.tolvaro.example/a b.");
  c.SendAndDrain("main\r\n  close \n\nhelp\nlink http://www.tolvaro.example/a\nbogus 1\nf1\n");
  EXPECT_EQ(c.sink.Take(),
            (Lines{"command 1", "command 2", "command 3", "link http://www.tolvaro.example/a", "help"}));
  EXPECT_NE(c.err.str().find("unknown command \"bogus 1\""), std::string::npos) << c.err.str();
  // Only a link the message area shows can be clicked.
  c.SendAndDrain("link http://elsewhere.example/\nlink http://www.tolvaro.example/a b\n");
  EXPECT_EQ(c.sink.Take(), Lines{});
  EXPECT_NE(c.err.str().find("\"link http://elsewhere.example/\" ignored: no such link in the message area"),
            std::string::npos) << c.err.str();

  // Keys in the window's own handling: Tab and arrows move the focus over
  // enabled controls that take it, Enter presses the focused button, Esc is
  // the close request.
  c.Lines();
  c.SendAndDrain("tab\n");
  EXPECT_EQ(c.window->FocusedControl(), ui::kHelpButton);
  c.SendAndDrain("right\n");
  EXPECT_EQ(c.window->FocusedControl(), ui::kMessageArea);
  c.SendAndDrain("tab\n");
  EXPECT_EQ(c.window->FocusedControl(), ui::kMainButton);
  c.SendAndDrain("left\nleft\n");
  EXPECT_EQ(c.window->FocusedControl(), ui::kHelpButton);
  EXPECT_EQ(c.Lines(), (Lines{"focus: help", "focus: message", "focus: main", "focus: message", "focus: help"}));
  c.SendAndDrain("enter\nesc\n");
  EXPECT_EQ(c.sink.Take(), (Lines{"command 3", "command 2"}));

  // Enter on the message area presses the default (main) button.
  c.window->Focus(ui::kMessageArea);
  c.SendAndDrain("enter\n");
  EXPECT_EQ(c.sink.Take(), Lines{"command 1"});

  // Esc does nothing while the close button is disabled.
  c.window->Enable(ui::kCloseButton, false);
  c.SendAndDrain("esc\n");
  EXPECT_EQ(c.sink.Take(), Lines{});

  c.SendAndDrain("ok\n");
  EXPECT_NE(c.err.str().find("no message box is open"), std::string::npos) << c.err.str();
}

TEST(ConsoleCommands, CommandsToAHiddenWindowAreIgnored) {
  Console c;
  c.Label();
  c.window->Enable(ui::kMainButton, true);
  c.SendAndDrain("main\nesc\n");
  EXPECT_EQ(c.sink.Take(), Lines{});
  EXPECT_NE(c.err.str().find("the window is not shown"), std::string::npos) << c.err.str();
}

// --- Message boxes.

TEST(ConsoleMessageBox, AnsweredByLineWhileTimersAndPostedCommandsGoOn) {
  Console c;
  c.Label();
  c.window->ShowWindow();
  c.Lines();
  c.window->StartTimer(1500, 20);
  c.window->PostCommand(201);
  std::thread answer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    c.input.Send("main\nbogus\nok\n");
  });
  std::int64_t start = Now();
  Answer a = c.window->AskOkCancel(kConfirm, "Message", ui::MessageIcon::kQuestion);
  std::int64_t took = Now() - start;
  answer.join();
  EXPECT_EQ(a, Answer::kOk);
  EXPECT_GE(took, 240);
  EXPECT_EQ(c.sink.events.front(), "command 201");
  EXPECT_EQ(c.sink.Count("command 1"), 0) << "the window takes no clicks while the box is open";
  EXPECT_GE(c.sink.Count("timer 1500"), 6) << "timers keep running";
  EXPECT_NE(c.err.str().find("\"main\" ignored: a message box is open"), std::string::npos) << c.err.str();
  EXPECT_EQ(c.Lines(), (Lines{"messagebox: Message: Press OK to cancel the update.\\n", "answer: ok"}));

  c.input.Send("esc\n");
  EXPECT_EQ(c.window->AskOkCancel("Sure?", "Q", ui::MessageIcon::kExclamation), Answer::kCancel);
  c.input.Send("enter\n");
  EXPECT_EQ(c.window->AskOkCancel("Sure?", "Q", ui::MessageIcon::kExclamation), Answer::kOk);
  c.input.Send("cancel\n");
  EXPECT_EQ(c.window->AskOkCancel("Sure?", "Q", ui::MessageIcon::kExclamation), Answer::kCancel);
  EXPECT_EQ(c.Lines(), (Lines{"messagebox: Q: Sure?", "answer: cancel", "messagebox: Q: Sure?", "answer: ok",
                              "messagebox: Q: Sure?", "answer: cancel"}));
}

TEST(ConsoleMessageBox, EndOfInputOrTheWindowsEndAnswersCancel) {
  Console c;
  c.window->ShowWindow();
  c.input.CloseWriteEnd();
  std::int64_t start = Now();
  EXPECT_EQ(c.window->AskOkCancel(kConfirm, "Message", ui::MessageIcon::kQuestion), Answer::kCancel);
  EXPECT_LT(Now() - start, 1000);

  Console d;
  d.window->ShowWindow();
  d.window->StartTimer(9, 30);
  d.sink.onTimer = [&](int) { d.window->DestroyWindow(); };
  EXPECT_EQ(d.window->AskOkCancel(kConfirm, "Message", ui::MessageIcon::kQuestion), Answer::kCancel);
  EXPECT_EQ(d.sink.Count("timer 9"), 1);
}

// --- Timers, posted commands, the loop, the end of input.

TEST(ConsoleEvents, EndOfInputNeitherHangsNorSpins) {
  Console c;
  c.window->ShowWindow();
  c.input.Send("help\n");
  c.input.CloseWriteEnd();

  // The last command is still carried out; timers go on after the end.
  c.window->StartTimer(7, 40);
  c.Pump(300);
  EXPECT_EQ(c.sink.Count("command 3"), 1);
  EXPECT_GE(c.sink.Count("timer 7"), 5);
  EXPECT_EQ(c.sink.Count("command 2"), 0) << "no close request while a timer runs";

  // With nothing left to do, one close request, as if the user had closed
  // the window; then waits take their time and dispatch nothing.
  c.window->StopTimer(7);
  c.sink.Take();
  EXPECT_TRUE(c.window->DispatchOne(nullptr));
  EXPECT_EQ(c.sink.Take(), Lines{"command 2"});
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(c.window->DispatchOne(nullptr));
    std::int64_t start = Now();
    c.window->WaitForEvents(50);
    std::int64_t took = Now() - start;
    EXPECT_GE(took, 45);
    EXPECT_LT(took, 200);
  }
  EXPECT_EQ(c.sink.Take(), Lines{});
}

// A wait ends when input arrives, and when a worker posts a command from
// its own thread, whether the input is still open or has ended.
TEST(ConsoleEvents, WaitReturnsWhenInputOrAPostedCommandArrives) {
  enum class Input { kOpen, kEnded };
  struct Case {
    Input input;
    bool post;
    const char* event;
  } cases[] = {{Input::kOpen, false, "help"}, {Input::kOpen, true, "command 202"}, {Input::kEnded, true, "command 202"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.event + std::string(k.input == Input::kOpen ? ", input open" : ", input ended"));
    // (The update window would close itself once its input has ended.)
    Console c(k.post ? WindowTemplate::kInstallWindow : WindowTemplate::kUpdateWindow);
    c.window->ShowWindow();
    if (k.input == Input::kEnded) {
      c.input.CloseWriteEnd();
      c.window->WaitForEvents(1000);
    }
    std::thread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      if (k.post) {
        c.window->PostCommand(202);
      } else {
        c.input.Send("f1\n");
      }
    });
    std::int64_t start = Now();
    c.window->WaitForEvents(2000);
    std::int64_t took = Now() - start;
    sender.join();
    EXPECT_GE(took, 50);
    EXPECT_LT(took, 1000);
    c.Drain();
    EXPECT_EQ(c.sink.Take(), Lines{k.event});
  }
}

// With an injected clock, timers, the Esc delay and the end of input run in
// virtual time: nothing waits in real time.
TEST(ConsoleEvents, VirtualClockDrivesTimersAndTheEscDelay) {
  Console c(WindowTemplate::kUpdateWindow, true, true);
  c.Label();
  c.window->ShowWindow();
  c.window->StartTimer(1, 30);
  c.window->StartTimer(2, 100);
  c.PumpVirtual(1000);
  EXPECT_EQ(c.sink.Count("timer 1"), 33);
  EXPECT_EQ(c.sink.Count("timer 2"), 9);
  c.window->StopTimer(1);
  c.window->StopTimer(2);
  c.sink.Take();

  // On Windows a thread of the platform layer reads the pipe: the bytes get
  // a moment of real time to come through before virtual time moves on.
  auto sendSettled = [&](const std::function<void()>& send) {
    send();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  sendSettled([&] { c.input.Send("\x1b"); });
  c.PumpVirtual(39);
  EXPECT_EQ(c.sink.Take(), Lines{}) << "a lone Esc waits 40 ms for the rest of a sequence";
  c.PumpVirtual(2);
  EXPECT_EQ(c.sink.Take(), Lines{"command 2"});

  sendSettled([&] { c.input.CloseWriteEnd(); });
  c.PumpVirtual(10);
  EXPECT_EQ(c.sink.Take(), Lines{"command 2"}) << "the end of input closes the idle window";
}

// --- Geometry.

TEST(ConsoleGeometry, MeasuresInCellsAndKeepsPlacements) {
  Console c;
  c.Label();
  EXPECT_EQ(c.window->MeasureText(ui::kMainButton).width, 8 * 8);
  EXPECT_EQ(c.window->MeasureText(ui::kMainButton).height, 16);
  EXPECT_EQ(c.window->MeasureText(ui::kStatusLine).width, 0);
  EXPECT_EQ(c.window->MeasureText(ui::kStatusLine).height, 16);
  EXPECT_EQ(c.window->MeasureText(4711).width, 0);
  EXPECT_EQ(c.window->MeasureText(4711).height, 0);

  EXPECT_EQ(c.window->Placement(ui::kHeadline).width, 459);
  c.window->Move(ui::kProgressBar, ui::Rect{30, 205, 440, 18});
  ui::Rect r = c.window->Placement(ui::kProgressBar);
  EXPECT_EQ(r.left, 30);
  EXPECT_EQ(r.top, 205);
  EXPECT_EQ(r.width, 440);
  EXPECT_EQ(r.height, 18);
  c.window->ResizeWindow(ui::Size{500, 310});
  EXPECT_EQ(c.window->ClientSize().width, 500);
  EXPECT_EQ(c.window->ClientSize().height, 310);
  EXPECT_EQ(c.window->Text(4711), "");
  EXPECT_FALSE(c.window->IsEnabled(4711));
  EXPECT_FALSE(c.window->IsShown(ui::kSizeDisplay));
}

// --- The drawn window.

TEST(ConsoleTerminal, FrameShowsHeadlineMessageProgressAndButtons) {
  Console c(WindowTemplate::kUpdateWindow, true);
  c.Label();
  c.window->SetText(ui::kMainButton, "Check");
  c.window->Enable(ui::kMainButton, true);
  c.window->Enable(ui::kHelpButton, false);
  c.window->Focus(ui::kMainButton);
  c.window->SetText(ui::kHeadline, "Your software is up-to-date.");
  std::string message;
  for (int i = 1; i <= 30; ++i) message += "line " + std::to_string(i) + "\r\n";
  c.window->SetText(ui::kMessageArea, message);
  c.window->SetText(ui::kStatusLine, "Speed:  12.0 Kb/s    Remaining: 00:01:05");
  c.window->SetText(ui::kSizeDisplay, "5.00 Mb / 20.00 Mb");
  c.window->Show(ui::kSizeDisplay, true);
  c.window->SetProgressRange(200);
  c.window->SetProgress(100);

  EXPECT_EQ(c.window->RenderText(60, 20), std::string(19, '\n')) << "a hidden window draws nothing";
  c.window->ShowWindow();
  std::string frame = c.window->RenderText(60, 20);
  std::vector<std::string> rows;
  std::istringstream in(frame);
  for (std::string row; std::getline(in, row);) rows.push_back(row);
  ASSERT_EQ(rows.size(), 20u) << frame;
  for (const std::string& row : rows) EXPECT_LE(row.size(), 60u) << row;

  EXPECT_NE(rows[0].find("Update Tolvaro DVD"), std::string::npos) << frame;
  EXPECT_EQ(rows[2], "  Your software is up-to-date.");
  // The message area holds 9 rows and shows the start of the text.
  EXPECT_EQ(rows[4], "  +" + std::string(54, '-') + "+");
  EXPECT_EQ(rows[5], "  | line 1" + std::string(46, ' ') + " |");
  EXPECT_EQ(rows[13], "  | line 9" + std::string(46, ' ') + " |");
  EXPECT_EQ(rows[14], "  +" + std::string(49, '-') + " vv -+");
  // A status text too long to stand beside the sizes has the whole row; the
  // sizes stand beside the progress bar.
  EXPECT_EQ(rows[15], "  Speed:  12.0 Kb/s    Remaining: 00:01:05") << frame;
  EXPECT_EQ(rows[16], "  [" + std::string(17, '#') + std::string(17, '-') + "]  5.00 Mb / 20.00 Mb");
  c.window->SetText(ui::kStatusLine, "Speed:  12.0 Kb/s");
  frame = c.window->RenderText(60, 20);
  EXPECT_NE(frame.find("\n  Speed:  12.0 Kb/s" + std::string(19, ' ') + "  5.00 Mb / 20.00 Mb\n  [" + std::string(27, '#')),
            std::string::npos) << frame;
  EXPECT_EQ(rows[18], std::string(58 - 30, ' ') + "( Help )  [>Check<]  [ Close ]");
  EXPECT_NE(rows[19].find("Esc: close"), std::string::npos);

  // Page Down scrolls on by the area's height less one row, Page Up back;
  // focus on the message area doubles its border.
  c.SendAndDrain("\x1b[6~");
  c.window->Focus(ui::kMessageArea);
  frame = c.window->RenderText(60, 20);
  EXPECT_NE(frame.find("| line 9 "), std::string::npos) << frame;
  EXPECT_NE(frame.find("| line 17 "), std::string::npos) << frame;
  EXPECT_EQ(frame.find("| line 8 "), std::string::npos) << frame;
  EXPECT_EQ(frame.find("| line 18 "), std::string::npos) << frame;
  EXPECT_NE(frame.find("+====="), std::string::npos) << frame;
  EXPECT_NE(frame.find(" ^^ "), std::string::npos) << frame;
  EXPECT_NE(frame.find(" vv "), std::string::npos) << frame;
  c.SendAndDrain("\x1b[6~\x1b[6~\x1b[6~");
  frame = c.window->RenderText(60, 20);
  EXPECT_NE(frame.find("| line 30 "), std::string::npos) << frame;
  EXPECT_EQ(frame.find(" vv "), std::string::npos) << frame;
  c.SendAndDrain("\x1b[5~\x1b[H");
  EXPECT_NE(c.window->RenderText(60, 20).find("| line 1 "), std::string::npos);
}

TEST(ConsoleTerminal, InstallWindowFrame) {
  Console c(WindowTemplate::kInstallWindow, true);
  c.window->SetProgressRange(4);
  c.window->SetProgress(1);
  c.window->ShowWindow();
  std::string frame = c.window->RenderText(40, 5);
  EXPECT_EQ(frame, "    Tolvaro copying updated files...\n\n  [########" + std::string(26, '-') + "]\n\n");
}

TEST(ConsoleTerminal, KeysAsTheTerminalSendsThem) {
  Console c(WindowTemplate::kUpdateWindow, true);
  c.Label();
  c.window->Enable(ui::kMainButton, true);
  c.window->ShowWindow();
  c.SendAndDrain("\t");
  EXPECT_EQ(c.window->FocusedControl(), ui::kHelpButton);
  c.SendAndDrain("\x1b[D\x1bOD");
  EXPECT_EQ(c.window->FocusedControl(), ui::kMainButton);
  c.SendAndDrain("\x1b[C\x1b[Z");
  EXPECT_EQ(c.window->FocusedControl(), ui::kMainButton);
  c.SendAndDrain("\r \x1bOP\x1b[11~x");
  EXPECT_EQ(c.sink.Take(), (Lines{"command 1", "command 1", "help", "help"}));

  // A lone Esc waits briefly for the rest of a sequence, then counts. (The
  // byte may take a moment to come through a busy machine's pipe.)
  c.input.Send("\x1b");
  EXPECT_EQ(c.Drain(), 0);
  for (int i = 0; i < 40 && c.sink.Count("command 2") == 0; ++i) c.Pump(50);
  EXPECT_EQ(c.sink.Take(), Lines{"command 2"});

  // With a key filter, the keys go there, Shift-Tab as "previous".
  std::vector<Key> keys;
  ui::WindowSystem::KeyFilter filter = [&](Key k) { keys.push_back(k); };
  c.SendAndDrain("\r\t\x1b[C\x1b[D\x1b[Z\x1b[[Aq", &filter);
  c.input.Send("\x1b");
  for (int i = 0; i < 40 && keys.size() < 8; ++i) c.Pump(50, &filter);
  EXPECT_EQ(keys, (std::vector<Key>{Key::kEnter, Key::kTab, Key::kRight, Key::kLeft, Key::kLeft, Key::kF1,
                                    Key::kOther, Key::kEscape}));
  EXPECT_EQ(c.sink.Take(), Lines{});
}

TEST(ConsoleTerminal, RedrawsOnlyWhatChanged) {
  Console c(WindowTemplate::kUpdateWindow, true);
  c.Label();
  c.window->ShowWindow();
  std::string first = c.FreshOutput();
  EXPECT_EQ(first.rfind("\x1b[?1049h", 0), 0u) << "the alternate screen first";
  EXPECT_NE(first.find("[>Close<]"), std::string::npos);

  // Timer ticks that change nothing draw nothing.
  c.window->StartTimer(1, 10);
  c.Pump(100);
  EXPECT_EQ(c.FreshOutput(), "");

  // A change rewrites its own row only.
  c.window->SetText(ui::kHeadline, "Downloading update...");
  c.Pump(30);
  std::string update = c.FreshOutput();
  EXPECT_NE(update.find("\x1b[3;1H"), std::string::npos) << update;
  EXPECT_NE(update.find("Downloading update..."), std::string::npos);
  EXPECT_EQ(update.find("Close"), std::string::npos) << "the button row did not change";

  c.window->DestroyWindow();
  EXPECT_NE(c.FreshOutput().find("\x1b[?1049l"), std::string::npos) << "the screen is given back";
}

TEST(ConsoleTerminal, MessageBoxIsDrawnAndAnsweredWithKeys) {
  Console c(WindowTemplate::kUpdateWindow, true);
  c.Label();
  c.window->ShowWindow();
  std::string drawn;
  c.window->StartTimer(1, 20);
  c.sink.onTimer = [&](int) {
    if (drawn.empty()) {
      drawn = c.window->RenderText(60, 20);
      c.input.Send("\tc");
    }
  };
  EXPECT_EQ(c.window->AskOkCancel(kConfirm, "Message", ui::MessageIcon::kQuestion), Answer::kCancel);
  EXPECT_NE(drawn.find("+- (?) Message "), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("| Press OK to cancel the update."), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("[>OK<]   [ Cancel ]"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("[>Close<]"), std::string::npos) << "the window stays behind the box";

  c.sink.onTimer = nullptr;
  c.input.Send("\t\r");
  EXPECT_EQ(c.window->AskOkCancel(kConfirm, "Message", ui::MessageIcon::kQuestion), Answer::kCancel);
  c.input.Send("\x1b[Co");
  EXPECT_EQ(c.window->AskOkCancel(kConfirm, "Message", ui::MessageIcon::kQuestion), Answer::kOk);
  c.input.Send("\r");
  EXPECT_EQ(c.window->AskOkCancel(kConfirm, "Message", ui::MessageIcon::kQuestion), Answer::kOk);
  EXPECT_EQ(c.window->RenderText(60, 20).find("Message"), std::string::npos) << "the box is gone";
}

TEST(ConsoleTerminal, LinksInTheMessageAreaAndOpenedLinks) {
  Console c(WindowTemplate::kUpdateWindow, true);
  c.Label();
  c.window->ShowWindow();
  c.window->SetText(ui::kMessageArea,
                    "You can download the latest version from\n\nhttp://www.tolvaro.example/download/.\n"
                    "Mail (mailto:help@tolvaro.example) or see www.tolvaro.example, ftp:// alone is none");
  c.window->Focus(ui::kMessageArea);
  EXPECT_NE(c.window->RenderText(80, 20).find("Enter: open http://www.tolvaro.example/download/"),
            std::string::npos);
  c.SendAndDrain("\r \r \r \r");
  EXPECT_EQ(c.sink.Take(), (Lines{"link http://www.tolvaro.example/download/", "link mailto:help@tolvaro.example",
                                  "link www.tolvaro.example", "link http://www.tolvaro.example/download/"}));

  c.window->OpenLink("http://www.tolvaro.example/download/");
  EXPECT_NE(c.window->RenderText(80, 20).find("Open this address in a browser: http://www.tolvaro.example/download/"),
            std::string::npos);
  c.SendAndDrain("\x1b[A");
  EXPECT_EQ(c.window->RenderText(80, 20).find("Open this address"), std::string::npos) << "a key clears the notice";
}

// --- Text in terminal cells, in the UTF-8 locale the program takes from
// the user's environment.

class Utf8Text : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C.UTF-8");
    if (ui::console::Columns("\xe6\x97\xa5") != 2) GTEST_SKIP() << "no UTF-8 locale with wide characters";
  }
  void TearDown() override { std::setlocale(LC_CTYPE, old_.c_str()); }

  // Terminal columns of UTF-8 text, counted here on their own: the CJK
  // ideographs and kana (lead bytes E3..E9) take two.
  static int Cells(const std::string& row) {
    int n = 0;
    for (unsigned char b : row) {
      if ((b & 0xC0) != 0x80) n += (b >= 0xE3 && b <= 0xE9) ? 2 : 1;
    }
    return n;
  }

 private:
  std::string old_;
};

TEST_F(Utf8Text, WrapsCutsAndEscapesByCells) {
  struct Case {
    std::string text;
    int width;
    Lines wrapped;
  };
  for (const Case& c : std::vector<Case>{
           {"aaa bbb ccc", 7, {"aaa bbb", "ccc"}},
           {"abcdefghij", 4, {"abcd", "efgh", "ij"}},
           {"a\r\n\nb   c", 3, {"a", "", "b", "c"}},
           {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe3\x83\x86", 5,
            {"\xe6\x97\xa5\xe6\x9c\xac", "\xe8\xaa\x9e\xe3\x81\xae", "\xe3\x83\x86"}},
           {"ab \xe6\x97\xa5\xe6\x9c\xac", 5, {"ab", "\xe6\x97\xa5\xe6\x9c\xac"}},
           // C1 controls (CSI, OSC) and a stray byte of their range are shown,
           // not sent to the terminal.
           {"x\xc2\x9b" "31my\xc2\x9d\x9b", 40, {"x\\u009b31my\\u009d\\x9b"}},
       }) {
    EXPECT_EQ(ui::console::WrapText(c.text, c.width), c.wrapped) << c.text;
  }
  EXPECT_EQ(ui::console::EscapeLine("a\xc2\x9b" "1m\x07\xc3\xa9\x9d"), "a\\u009b1m\\x07\xc3\xa9\\x9d");
  EXPECT_EQ(ui::console::FitColumns("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 5), "\xe6\x97\xa5\xe6\x9c\xac ");
  EXPECT_EQ(ui::console::ShortenMiddle("http://x.example/very/long/path/file.zip", 20), "http://x....file.zip");
}

// The line protocol shows C1 controls as escapes too.
TEST_F(Utf8Text, ProtocolEscapesC1Controls) {
  Console c;
  c.window->ShowWindow();
  c.Lines();
  c.window->SetText(ui::kHeadline, "Done\xc2\x9b" "2J\xc2\x9d" "0;pwned\x07");
  EXPECT_EQ(c.Settled(), Lines{"headline: Done\\u009b2J\\u009d0;pwned\\x07"});
}

// States of the drawn window, each checked on the frame it gives.
TEST_F(Utf8Text, TerminalStates) {
  Console c(WindowTemplate::kUpdateWindow, true);
  c.Label();
  c.window->ShowWindow();
  auto rows = [&](int columns, int height) {
    Lines out;
    std::istringstream in(c.window->RenderText(columns, height));
    for (std::string row; std::getline(in, row);) out.push_back(row);
    return out;
  };

  // Too few rows for the buttons: one line that says so, cut to the width.
  EXPECT_EQ(rows(60, 10).at(0), "Terminal too small: make it at least 12 rows high");
  EXPECT_EQ(rows(30, 10).at(0), "Terminal too small: make it at");
  EXPECT_EQ(c.window->RenderText(60, 10).find("Close"), std::string::npos);
  EXPECT_EQ(rows(19, 24).at(0), "Terminal too small:");

  // Wide characters keep the message area's border in its column.
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e ";
  c.window->SetText(ui::kMessageArea, "Intro: " + wide);
  Lines frame = rows(60, 20);
  EXPECT_EQ(frame.at(5).rfind("  | Intro: ", 0), 0u) << "the message area starts at the top of its text";
  for (int r = 5; r <= 13; ++r) {
    EXPECT_EQ(Cells(frame.at(r)), 58) << frame.at(r);
    EXPECT_EQ(frame.at(r).back(), '|') << frame.at(r);
  }

  // During a run (a key filter) only the keys that work are offered.
  ui::WindowSystem::KeyFilter filter = [](Key) {};
  c.window->DispatchOne(&filter);
  EXPECT_EQ(rows(80, 20).at(19), "  Tab/arrows: move  Enter: press  PgUp/PgDn: scroll");
  c.window->DispatchOne(nullptr);
  EXPECT_NE(rows(80, 20).at(19).find("Esc: close  F1: help"), std::string::npos);

  // A long chosen link: its start and end in the hint line; an address to
  // open by hand is shown whole.
  const std::string link = "http://www.tolvaro.example/" + std::string(60, 'p') + "/setup_(1).zip";
  c.window->SetText(ui::kMessageArea, "Get " + link + " or ftp://tolvaro.example/x or www.tolvaro.example.");
  c.window->Focus(ui::kMessageArea);
  frame = rows(60, 20);
  EXPECT_EQ(frame.at(19), "  Enter: open http://www....tup_(1).zip   Space: next link");
  c.SendAndDrain("\r \r \r");
  EXPECT_EQ(c.sink.Take(), (Lines{"link " + link, "link www.tolvaro.example", "link " + link}))
      << "only what the link finder finds is a link";
  c.window->OpenLink(link);
  frame = rows(60, 20);
  EXPECT_EQ(frame.at(17) + " " + frame.at(18).substr(2) + frame.at(19).substr(2),
            "  Open this address in a browser: " + link);
}

// A long message is wrapped once per change and scrolls to its end.
TEST(ConsoleTerminal, LongMessageWrapsOnceAndScrolls) {
  Console c(WindowTemplate::kUpdateWindow, true);
  c.Label();
  c.window->ShowWindow();
  std::string text;
  for (int i = 0; text.size() < 640 * 1024; ++i) text += "Line " + std::to_string(i) + " of the comment\r\n";
  c.window->SetText(ui::kMessageArea, text + "The end.");
  c.window->StartTimer(1, 1);
  c.Pump(200);
  EXPECT_NE(c.window->RenderText(60, 20).find("| Line 0 of the comment"), std::string::npos);
  c.SendAndDrain("\x1b[F");
  EXPECT_NE(c.window->RenderText(60, 20).find("| The end."), std::string::npos);
}

// Standard input without line ends cannot fill the memory: a command line
// is at most 64 KiB, a longer one is reported once and dropped.
TEST(ConsoleCommands, OverlongCommandLineIsDropped) {
  Console c;
  c.Label();
  c.window->ShowWindow();
  std::thread sender([&] { c.input.Send("help " + std::string(300000, 'x') + "\nhelp\n"); });
  for (int i = 0; i < 100 && c.sink.events.empty(); ++i) c.Pump(50);
  sender.join();
  c.Pump(20);
  EXPECT_EQ(c.sink.Take(), Lines{"command 3"});
  EXPECT_EQ(c.err.str(), "console: command line longer than 65536 bytes ignored\n");
}

// --- Help.

TEST(HelpText, HtmlBecomesReadableText) {
  EXPECT_EQ(ui::HtmlToText("<html><head><title>T</title><style>p{}</style></head><body>"
                           "<h1>Updating &amp; more</h1><p>Press   <b>Download</b>\n to get&nbsp;&nbsp;it.</p>"
                           "<ul><li>one</li><li>two &lt;3&gt;</li></ul><script>var x = '<p>';</script>"
                           "a<br>b<br><br>c<!-- <p>hidden</p> --> &#65;&#x42; &bogus; &amp</body></html>"),
            "Updating & more\n\nPress Download to get  it.\n\n- one\n- two <3>\n\na\nb\n\nc AB &bogus; &amp");
  EXPECT_EQ(ui::HtmlToText("<pre>  a\n   b</pre>after"), "  a\n   b\n\nafter");
  EXPECT_EQ(ui::HtmlToText("<table><tr><td>x</td><td>y</td></tr><tr><td>z</td></tr></table>"), "x y\nz");
  EXPECT_EQ(ui::HtmlToText("<p title=\"a>b\">t</p><P>U</P>"), "t\n\nU");
  EXPECT_EQ(ui::HtmlToText(""), "");
  EXPECT_EQ(ui::HtmlToText("<p><unclosed"), "");
  // Web and mail links keep their addresses; topic links need none.
  for (const auto& [html, text] : std::vector<std::pair<std::string, std::string>>{
           {"See <a href=\"http://x.example/a\">the site</a>.", "See the site <http://x.example/a>."},
           {"<A title='a>b' HREF='http://x.example/?a=1&amp;b=2'>more</A>", "more <http://x.example/?a=1&b=2>"},
           {"<a href=\"http://x.example/\"> http://x.example/ </a>", "http://x.example/"},
           {"<a href=\"http://www.x.example\">www.x.example</a>", "www.x.example"},
           {"<a href=mailto:h@x.example>write</a>", "write <mailto:h@x.example>"},
           {"<a href=\"chap01.htm#top\">Next</a> page", "Next page"}}) {
    EXPECT_EQ(ui::HtmlToText(html), text) << html;
  }
}

// --- The platform under it.

TEST(PlatformShell, OnlyWebAndMailLinksAreOpened) {
  EXPECT_EQ(platform::WebAddressOfLink("http://www.tolvaro.example/x?a=1&b=2"),
            std::optional<std::string>("http://www.tolvaro.example/x?a=1&b=2"));
  EXPECT_EQ(platform::WebAddressOfLink("HTTPS://example.org"), std::optional<std::string>("HTTPS://example.org"));
  EXPECT_EQ(platform::WebAddressOfLink("www.tolvaro.example"), std::optional<std::string>("http://www.tolvaro.example"));
  EXPECT_EQ(platform::WebAddressOfLink("mailto:help@tolvaro.example"),
            std::optional<std::string>("mailto:help@tolvaro.example"));
  for (const char* refused : {"", "http://", "file:///etc/passwd", "/bin/sh", "-x", "javascript:alert(1)",
                              "http://a b", "http://a\nb", "www.", "ftp://a.example/"}) {
    EXPECT_FALSE(platform::WebAddressOfLink(refused).has_value()) << refused;
  }
  EXPECT_FALSE(platform::WebAddressOfLink("http://" + std::string(3000, 'a')).has_value());
}

TEST(PlatformTerminal, ReadAvailableInputWaitsReadsAndSeesTheEnd) {
  Pipe p;
  std::string buffer;
  std::int64_t start = Now();
  EXPECT_EQ(platform::ReadAvailableInput(p.readEnd(), buffer, 60), platform::InputState::kNothing);
  EXPECT_GE(Now() - start, 55);
  EXPECT_EQ(platform::ReadAvailableInput(p.readEnd(), buffer, 0), platform::InputState::kNothing);
  p.Send("abc");
  EXPECT_EQ(platform::ReadAvailableInput(p.readEnd(), buffer, 1000), platform::InputState::kData);
  p.Send("de");
  // Without waiting, once the bytes have come through.
  EXPECT_TRUE(testsupport::WaitFor(
      [&] { return platform::ReadAvailableInput(p.readEnd(), buffer, 0) == platform::InputState::kData; }, 1000));
  EXPECT_EQ(buffer, "abcde");
  p.CloseWriteEnd();
  start = Now();
  EXPECT_EQ(platform::ReadAvailableInput(p.readEnd(), buffer, 1000), platform::InputState::kEnded);
  EXPECT_LT(Now() - start, 500);
  EXPECT_EQ(platform::ReadAvailableInput(-1, buffer, 0), platform::InputState::kEnded);
  EXPECT_FALSE(platform::IsTerminal(p.readEnd()));
  EXPECT_FALSE(platform::TerminalSizeOf(p.readEnd()).has_value());
  // A new pipe may get the numbers of a closed one: it is read afresh.
  std::optional<Pipe> old(std::in_place), next;
  old->Send("old");
  EXPECT_EQ(platform::ReadAvailableInput(old->readEnd(), buffer, 1000), platform::InputState::kData);
  old.reset();
  next.emplace();
  next->Send("new");
  buffer.clear();
  EXPECT_EQ(platform::ReadAvailableInput(next->readEnd(), buffer, 1000), platform::InputState::kData);
  EXPECT_EQ(buffer, "new");
}


}  // namespace
