// The terminal front end of the update window and the install window, used
// when there is no display or when the user asks for it with --console.
//
// It has two faces. When its output is a terminal it draws the window as
// text (title bar, headline, message area, status line with the size
// display, progress bar, buttons) and takes keys in raw mode. Otherwise it
// speaks a line protocol for scripts and tests: one "element: text" line
// per visible change on the output, one command per line on the input. The
// protocol is documented in the README ("The console front end"); keep the
// two in step, scripts depend on it.
//
// The code is split by job: line_protocol.cpp (lines out, commands in),
// input.cpp (keys and their handling), screen.cpp (drawing the window),
// overlays.cpp (message box and help view), text_layout.cpp (text in
// terminal cells), key_decoder.cpp (terminal key sequences).
//
// Timers run on the monotonic clock, also while a message box is open.
// When the input has ended and the update window has nothing left to do (no
// timer, no command waiting, no message box), the front end delivers one
// close request, as if the user had closed the window: a script that ends
// its input lets the program finish instead of leaving it waiting forever.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/terminal.h"
#include "ui/console/key_decoder.h"
#include "ui/console/text_layout.h"
#include "ui/front_end.h"
#include "ui/window_system.h"

namespace ui {

struct ConsoleOptions {
  WindowTemplate which = WindowTemplate::kUpdateWindow;
  // Draw the window and read keys (true), or write and read lines (false).
  bool terminal = false;
  // Where commands or key presses come from; not closed by the window.
  int inputStream = platform::kStandardInput;
  // Where the lines or the drawn window go, and where commands that cannot
  // be carried out are reported; standard output and standard error when
  // null.
  std::ostream* output = nullptr;
  std::ostream* errors = nullptr;
  // The screen in columns and rows, unless `terminalOutput` is set and that
  // terminal knows its size.
  Size screen{80, 24};
  // The terminal behind `output`, asked for its size; -1: none.
  int terminalOutput = -1;
  // Switch the input terminal to raw mode while the window lives.
  bool rawInput = false;
  // On a terminal, hand opened links to the desktop's browser (only when a
  // display exists); otherwise the address is only shown.
  bool openLinksOnDesktop = false;
  // How long a lone Esc byte waits for the rest of an escape sequence.
  int escapeDelayMs = 40;
  // The clock of the timers, the Esc delay and the size checks, in
  // milliseconds that never go backwards; the monotonic clock when empty.
  std::function<std::int64_t()> nowMs;
  // How WaitForEvents lets time pass when nothing is waiting: called with
  // the milliseconds to wait instead of sleeping or blocking on the input
  // (the input is then only polled). With a virtual `nowMs`, this advances
  // it, so that a test runs in virtual time without real-time bounds.
  std::function<void(int)> waitMs;
};

// The options of the program itself: standard input and output, drawing
// when standard output is a terminal.
ConsoleOptions StandardConsoleOptions(WindowTemplate which);

class ConsoleWindow final : public WindowSystem {
 public:
  explicit ConsoleWindow(const ConsoleOptions& options);
  ~ConsoleWindow() override;
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  void SetEventSink(WindowEvents* sink) override { sink_ = sink; }

  void SetTitle(std::string_view title) override;
  std::string Title() const override { return title_; }
  void ShowWindow() override;
  void HideWindow() override;
  bool IsVisible() const override { return visible_; }
  void DestroyWindow() override;
  bool IsDestroyed() const override { return destroyed_; }
  void ResizeWindow(Size outer) override { outer_ = outer; }
  Size ClientSize() const override { return outer_; }
  void SetFont(std::string_view face, int height) override;

  void SetText(int control, std::string_view text) override;
  std::string Text(int control) const override;
  void Enable(int control, bool enabled) override;
  bool IsEnabled(int control) const override;
  void Show(int control, bool visible) override;
  bool IsShown(int control) const override;
  void Focus(int control) override;
  int FocusedControl() const override { return focus_; }
  void MoveFocus(bool forward) override;
  void Move(int control, Rect placement) override;
  Rect Placement(int control) const override;
  Size MeasureText(int control) const override;

  void SetProgressRange(std::int32_t maximum) override;
  void SetProgress(std::int32_t position) override;
  std::int32_t Progress() const override { return progressPosition_; }

  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override;
  // Also from another thread (a worker announcing its end): it ends a wait.
  void PostCommand(int id) override;

  Answer AskOkCancel(std::string_view text, std::string_view caption, MessageIcon icon) override;
  void SetMessageBoxLabels(std::string_view ok, std::string_view cancel) override;

  bool DispatchOne(const KeyFilter* keyFilter) override;
  void WaitForEvents(int maxMs) override;
  void RunMessageLoop() override;

  void OpenHelpTopic(const std::string& chmPath, const std::string& topic) override;
  void OpenLink(std::string_view link) override;

  // The window as the terminal shows it, `columns` by `rows`: one line of
  // plain text per row (no colours, no escape sequences), joined by "\n".
  std::string RenderText(int columns, int rows) const;

  // Pixel metrics of MeasureText: one character cell.
  static constexpr int kCellWidth = 8;
  static constexpr int kCellHeight = 16;

 private:
  enum class ControlKind { kButton, kLabel, kMessage, kProgress };
  struct Control {
    int id = 0;
    ControlKind kind = ControlKind::kLabel;
    const char* name = "";
    bool tabStop = false;
    bool enabled = true;
    bool visible = true;
    Rect placement;
    std::string text;
    // Counts the changes of text, state and visibility; the line protocol
    // writes the control again only when it has moved.
    std::uint64_t version = 1;
    std::uint64_t publishedVersion = 0;
  };
  struct Timer {
    int periodMs = 0;
    std::int64_t dueMs = 0;
  };
  struct MessageBox {
    std::string text;
    std::string caption;
    MessageIcon icon = MessageIcon::kQuestion;
    bool okFocused = true;
    std::optional<Answer> answer;
  };
  struct HelpView {
    std::string text;
    int scroll = 0;  // first row shown
    std::uint64_t version = 0;
  };
  // What the line protocol last wrote for one element.
  struct Written {
    std::optional<bool> visible;
    std::optional<std::string> value;
  };
  using Row = console::Row;
  using TermKey = console::TermKey;

  std::int64_t NowMs() const;
  Control* Find(int id);
  const Control* Find(int id) const;
  void Changed(Control* control);
  void CommandTo(int id);
  void FocusAwayFrom(int control);

  // Input (input.cpp).
  bool PullInput(int timeoutMs);
  void DropOverlongLine();
  bool HasCompleteInput() const;
  bool DispatchInput(const KeyFilter* keyFilter);
  void HandleTermKey(const TermKey& key, const KeyFilter* keyFilter);
  void HandleKey(Key key, const KeyFilter* keyFilter);
  void PressEnter();
  void PressButton(int id);
  void PressFocusedOrNextLink();
  void ScrollMessage(int rows);
  bool DispatchTimer();
  bool IdleCloseDue() const;
  bool HasPosted() const;
  void Report(std::string_view message);
  const std::vector<std::string>& MessageLinks() const;
  std::string SelectedLink() const;

  // The line protocol (line_protocol.cpp).
  std::optional<std::string> TakeLine();
  void HandleCommand(std::string_view line, const KeyFilter* keyFilter);
  void WriteLine(std::string_view line);
  // Writes the elements that changed since the last call: where a real
  // window would paint, never from a setter, so that a script sees the
  // state at the end of each step.
  void PublishLines();
  void Publish(const std::string& key, bool visible, const std::string& value);

  // The terminal (screen.cpp, overlays.cpp).
  void Refresh();
  void EnterScreen();
  void LeaveScreen();
  void EnterRawMode();
  std::vector<Row> Compose(int columns, int rows) const;
  void ComposeUpdateWindow(std::vector<Row>& frame, int columns, int rows) const;
  void ComposeInstallWindow(std::vector<Row>& frame, int columns) const;
  void ComposeHelp(std::vector<Row>& frame, int columns, int rows) const;
  void OverlayBox(std::vector<Row>& frame, const MessageBox& box, int columns, int rows) const;
  const std::vector<std::string>& MessageLines(int width) const;

  ConsoleOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  WindowEvents* sink_ = nullptr;

  std::string title_;
  std::uint64_t titleVersion_ = 1;
  std::uint64_t titlePublished_ = 0;
  std::vector<Control> controls_;  // in the order they are shown and written
  std::vector<int> tabOrder_;      // the template's order of tab stops
  bool closable_ = true;
  Size outer_;
  std::string fontFace_;
  int fontHeight_ = 0;
  int focus_ = 0;
  std::int32_t progressMaximum_ = 100;
  std::int32_t progressPosition_ = 0;
  bool visible_ = false;
  bool hidden_ = false;  // shown once, then hidden by HideWindow
  bool destroyed_ = false;

  std::map<int, Timer> timers_;
  // Posted commands; the one thing another thread may touch.
  mutable std::mutex postedMutex_;
  std::deque<int> posted_;
  std::thread::id windowThread_ = std::this_thread::get_id();
  std::string input_;
  bool inputEnded_ = false;
  bool droppingLine_ = false;  // the rest of an over-long command line goes
  std::int64_t partialKeySinceMs_ = -1;
  bool idleCloseSent_ = false;
  bool runKeys_ = false;  // the last dispatch had a key filter: a run goes on
  std::vector<MessageBox*> boxes_;  // open message boxes, innermost last
  std::optional<HelpView> help_;
  std::uint64_t helpVersions_ = 0;
  std::string okLabel_ = "OK";
  std::string cancelLabel_ = "Cancel";

  std::map<std::string, Written> written_;

  platform::RawTerminalMode rawMode_;
  bool screenActive_ = false;
  bool dirty_ = true;
  std::vector<std::string> drawn_;  // the rows on the screen, as written
  Size drawnScreen_{-1, -1};
  Size screen_;
  std::int64_t nextSizeCheckMs_ = 0;
  int messageScroll_ = 0;  // the first row of the message text shown
  mutable int messageMaxScroll_ = 0;
  int selectedLink_ = 0;
  std::string notice_;
  // Wrapped texts and the links of the message text, made again only when
  // the text or the width changes.
  mutable console::WrapCache messageWrap_;
  mutable console::WrapCache helpWrap_;
  mutable std::vector<std::string> links_;
  mutable std::uint64_t linksVersion_ = 0;
};

}  // namespace ui
