// The update window and the install window talk to the screen only through
// this interface; a front end (FLTK on the desktop, the terminal, a scripted
// fake with virtual time in the tests, Win32 dialogs) implements it. Controls
// are named by the ids of the window templates. Everything here runs on the
// window's thread, except PostCommand.
//
// Events flow the other way, into a WindowEvents sink: commands (button
// presses, posted commands, the close request as command 2), timer ticks,
// help requests (F1) and link clicks. Keys reach the sink only while the
// window logic runs its own event pump with a key filter (during a worker
// run); otherwise the front end handles keys itself (Tab, arrows, Enter on
// the focused button, Esc as command 2, F1 as a help request).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ui {

// Controls of the update window (template 102) and the install window
// (template 103, whose progress bar is kInstallProgress).
enum ControlId : int {
  kMainButton = 1,
  kCloseButton = 2,  // also the id of the close request (Esc, close box)
  kHelpButton = 3,
  kHeadline = 1000,
  kProgressBar = 1001,
  kMessageArea = 1002,
  kStatusLine = 1003,
  kSizeDisplay = 1005,
  kInstallProgress = 1001,
};

struct Size {
  int width = 0;
  int height = 0;
};

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

enum class Key { kTab, kRight, kLeft, kEnter, kEscape, kF1, kOther };
enum class MessageIcon { kQuestion, kExclamation };
enum class Answer { kOk, kCancel };

class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  virtual void OnCommand(int id) = 0;
  virtual void OnTimer(int id) = 0;
  virtual void OnHelpRequest() = 0;
  // A left click on a link in the message area, with the link's text.
  virtual void OnLinkClicked(std::string_view link) = 0;
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  virtual void SetEventSink(WindowEvents* sink) = 0;

  // Window as a whole. The window is created hidden.
  virtual void SetTitle(std::string_view title) = 0;
  virtual std::string Title() const = 0;
  virtual void ShowWindow() = 0;
  // Takes a shown window off the screen without ending it, and gives the
  // terminal back as it was, while another program has the user's
  // attention; ShowWindow brings it back as it was.
  virtual void HideWindow() = 0;
  virtual bool IsVisible() const = 0;
  // Ends the window; the message loop then returns. Idempotent.
  virtual void DestroyWindow() = 0;
  virtual bool IsDestroyed() const = 0;
  // Outer size of the window, keeping its position.
  virtual void ResizeWindow(Size outer) = 0;
  virtual Size ClientSize() const = 0;
  // The font of every control: face name and character height in pixels.
  virtual void SetFont(std::string_view face, int height) = 0;

  // Controls.
  virtual void SetText(int control, std::string_view text) = 0;
  virtual std::string Text(int control) const = 0;
  virtual void Enable(int control, bool enabled) = 0;
  virtual bool IsEnabled(int control) const = 0;
  virtual void Show(int control, bool visible) = 0;
  virtual bool IsShown(int control) const = 0;
  virtual void Focus(int control) = 0;
  virtual int FocusedControl() const = 0;
  // Moves the focus to the next (or previous) control that takes it.
  virtual void MoveFocus(bool forward) = 0;
  virtual void Move(int control, Rect placement) = 0;
  virtual Rect Placement(int control) const = 0;
  // Pixel size of the control's text in the window's font.
  virtual Size MeasureText(int control) const = 0;

  // The progress bar (of either window).
  virtual void SetProgressRange(std::int32_t maximum) = 0;
  virtual void SetProgress(std::int32_t position) = 0;
  virtual std::int32_t Progress() const = 0;

  // Timers deliver OnTimer(id) every period until stopped.
  virtual void StartTimer(int id, int periodMs) = 0;
  virtual void StopTimer(int id) = 0;
  // Queues OnCommand(id) behind the events already waiting. Also from
  // another thread (a worker announcing its end), where it ends the window
  // thread's wait at once.
  virtual void PostCommand(int id) = 0;

  // A modal message box with OK and Cancel; closing it answers Cancel.
  // Timers keep running while it is open.
  virtual Answer AskOkCancel(std::string_view text, std::string_view caption, MessageIcon icon) = 0;
  // The labels of the message boxes' two buttons, in the user's language;
  // "OK" and "Cancel" until they are set.
  virtual void SetMessageBoxLabels(std::string_view ok, std::string_view cancel) = 0;

  // Event processing. DispatchOne handles one waiting event and returns
  // whether there was one; with a key filter, key presses go to the filter
  // instead of their usual handling. WaitForEvents blocks until an event
  // may be waiting, at most `maxMs`. RunMessageLoop dispatches until the
  // window is destroyed.
  using KeyFilter = std::function<void(Key)>;
  virtual bool DispatchOne(const KeyFilter* keyFilter) = 0;
  virtual void WaitForEvents(int maxMs) = 0;
  virtual void RunMessageLoop() = 0;

  // The help topic of a compiled help file ("help.chm", "/htm/chap00-2.htm");
  // nothing happens when the file or the topic is missing.
  virtual void OpenHelpTopic(const std::string& chmPath, const std::string& topic) = 0;
  // Opens a web or mail link with the desktop's handler.
  virtual void OpenLink(std::string_view link) = 0;
};

}  // namespace ui
