// Input of the console window: reading the input stream, terminal keys and
// what they do in the window, the message area's links.
#include <algorithm>

#include "base/ascii_text.h"
#include "ui/console/console_window.h"
#include "ui/link_finder.h"

namespace ui {
namespace {

// The longest command line; the rest of a longer one is dropped up to its
// line end, so that input without line ends cannot fill the memory.
constexpr std::size_t kMaxCommandLine = 64 * 1024;

}  // namespace

bool ConsoleWindow::PullInput(int timeoutMs) {
  if (inputEnded_) return false;
  platform::InputState state = platform::ReadAvailableInput(options_.inputStream, input_, timeoutMs);
  if (state == platform::InputState::kEnded) inputEnded_ = true;
  if (!options_.terminal) DropOverlongLine();
  return state == platform::InputState::kData;
}

void ConsoleWindow::DropOverlongLine() {
  if (droppingLine_) {
    std::size_t end = input_.find('\n');
    input_.erase(0, end == std::string::npos ? input_.size() : end + 1);
    if (end != std::string::npos) droppingLine_ = false;
  }
  if (!droppingLine_ && input_.size() > kMaxCommandLine &&
      input_.find('\n') > kMaxCommandLine) {
    Report("command line longer than " + std::to_string(kMaxCommandLine) + " bytes ignored");
    droppingLine_ = true;
    DropOverlongLine();
  }
}

bool ConsoleWindow::HasCompleteInput() const {
  if (input_.empty()) return false;
  if (!options_.terminal) return inputEnded_ || input_.find('\n') != std::string::npos;
  TermKey key;
  return console::DecodeKey(input_, inputEnded_, key) > 0;
}

bool ConsoleWindow::DispatchInput(const KeyFilter* keyFilter) {
  if (!options_.terminal) {
    while (auto line = TakeLine()) {
      std::string_view command = *line;
      if (!command.empty() && command.back() == '\r') command.remove_suffix(1);
      command = base::TrimBlanks(command);
      if (command.empty()) continue;
      HandleCommand(command, keyFilter);
      return true;
    }
    return false;
  }
  if (input_.empty()) {
    partialKeySinceMs_ = -1;
    return false;
  }
  bool final = inputEnded_ || (partialKeySinceMs_ >= 0 && NowMs() - partialKeySinceMs_ >= options_.escapeDelayMs);
  TermKey key;
  std::size_t used = console::DecodeKey(input_, final, key);
  if (used == 0) {
    if (partialKeySinceMs_ < 0) partialKeySinceMs_ = NowMs();
    return false;
  }
  input_.erase(0, used);
  partialKeySinceMs_ = -1;
  HandleTermKey(key, keyFilter);
  return true;
}

void ConsoleWindow::Report(std::string_view message) {
  err_ << "console: " << message << '\n';
  err_.flush();
}

void ConsoleWindow::PressButton(int id) {
  const Control* c = Find(id);
  if (!c || c->kind != ControlKind::kButton) {
    Report("this window has no such button");
  } else if (!c->visible || !c->enabled) {
    Report(std::string("button ") + c->name + " ignored: it is " + (c->visible ? "disabled" : "hidden"));
  } else {
    CommandTo(id);
  }
}

void ConsoleWindow::HandleKey(Key key, const KeyFilter* keyFilter) {
  if (keyFilter && *keyFilter) {
    (*keyFilter)(key);
    return;
  }
  switch (key) {
    case Key::kTab:
    case Key::kRight: MoveFocus(true); break;
    case Key::kLeft: MoveFocus(false); break;
    case Key::kEnter: PressEnter(); break;
    case Key::kEscape:
      // The close request, unless the window has no close button or it
      // is disabled (so the install window ignores Esc).
      if (const Control* close = Find(kCloseButton); closable_ && close && close->enabled) CommandTo(kCloseButton);
      break;
    case Key::kF1:
      if (sink_) sink_->OnHelpRequest();
      break;
    case Key::kOther: break;
  }
}

void ConsoleWindow::PressEnter() {
  const Control* focused = Find(focus_);
  if (focused && focused->kind == ControlKind::kButton && focused->visible && focused->enabled) {
    CommandTo(focused->id);
    return;
  }
  if (focused && focused->kind == ControlKind::kMessage && options_.terminal) {
    std::string link = SelectedLink();
    if (!link.empty()) {
      if (sink_) sink_->OnLinkClicked(link);
      return;
    }
  }
  // Elsewhere Enter is the default button's.
  const Control* main = Find(kMainButton);
  if (main && main->visible && main->enabled) CommandTo(kMainButton);
}

const std::vector<std::string>& ConsoleWindow::MessageLinks() const {
  const Control* message = Find(kMessageArea);
  std::uint64_t version = message && message->visible ? message->version : 0;
  if (version != linksVersion_) {
    links_ = version ? LinkTexts(message->text) : std::vector<std::string>();
    linksVersion_ = version;
  }
  return links_;
}

std::string ConsoleWindow::SelectedLink() const {
  const std::vector<std::string>& links = MessageLinks();
  if (links.empty()) return std::string();
  return links[static_cast<std::size_t>(selectedLink_) % links.size()];
}

void ConsoleWindow::PressFocusedOrNextLink() {
  const Control* focused = Find(focus_);
  if (focused && focused->kind == ControlKind::kButton) {
    if (focused->visible && focused->enabled) CommandTo(focused->id);
  } else if (focused && focused->kind == ControlKind::kMessage) {
    std::size_t count = MessageLinks().size();
    if (count > 1) {
      selectedLink_ = static_cast<int>((static_cast<std::size_t>(selectedLink_) + 1) % count);
      dirty_ = true;
    }
  }
}

void ConsoleWindow::ScrollMessage(int rows) {
  int scroll = std::clamp(messageScroll_ + rows, 0, messageMaxScroll_);
  if (scroll == messageScroll_) return;
  messageScroll_ = scroll;
  dirty_ = true;
}

void ConsoleWindow::HandleTermKey(const TermKey& key, const KeyFilter* keyFilter) {
  using C = TermKey::Code;
  if (!notice_.empty()) {
    notice_.clear();
    dirty_ = true;
  }
  if (key.code == C::kRedraw) {
    drawn_.clear();
    drawnScreen_ = Size{-1, -1};
    dirty_ = true;
    return;
  }
  if (!boxes_.empty()) {
    MessageBox& box = *boxes_.back();
    switch (key.code) {
      case C::kEnter:
      case C::kSpace: box.answer = box.okFocused ? Answer::kOk : Answer::kCancel; break;
      case C::kEscape: box.answer = Answer::kCancel; break;
      case C::kTab:
      case C::kBackTab:
      case C::kLeft:
      case C::kRight:
        box.okFocused = !box.okFocused;
        dirty_ = true;
        break;
      case C::kChar:
        if (key.ch == 'o' || key.ch == 'O') box.answer = Answer::kOk;
        if (key.ch == 'c' || key.ch == 'C') box.answer = Answer::kCancel;
        break;
      default: break;
    }
    return;
  }
  int page = std::max(1, screen_.height - 12);
  if (help_) {
    switch (key.code) {
      case C::kEscape:
      case C::kEnter: help_.reset(); break;
      case C::kChar:
        if (key.ch == 'q' || key.ch == 'Q') help_.reset();
        break;
      case C::kUp: help_->scroll -= 1; break;
      case C::kDown: help_->scroll += 1; break;
      case C::kPageUp: help_->scroll -= screen_.height - 3; break;
      case C::kPageDown:
      case C::kSpace: help_->scroll += screen_.height - 3; break;
      case C::kHome: help_->scroll = 0; break;
      case C::kEnd: help_->scroll = 1 << 20; break;
      default: return;
    }
    if (help_) help_->scroll = std::clamp(help_->scroll, 0, 1 << 20);
    dirty_ = true;
    return;
  }
  if (!visible_) return;
  // Scrolling the message area is the terminal's mouse wheel: it works
  // during a run as well. The text starts at its top.
  switch (key.code) {
    case C::kUp: ScrollMessage(-1); return;
    case C::kDown: ScrollMessage(1); return;
    case C::kPageUp: ScrollMessage(-page); return;
    case C::kPageDown: ScrollMessage(page); return;
    case C::kHome: ScrollMessage(-(1 << 20)); return;
    case C::kEnd: ScrollMessage(1 << 20); return;
    default: break;
  }
  Key windowKey = Key::kOther;
  switch (key.code) {
    case C::kEnter: windowKey = Key::kEnter; break;
    case C::kEscape: windowKey = Key::kEscape; break;
    case C::kTab: windowKey = Key::kTab; break;
    case C::kBackTab:
    case C::kLeft: windowKey = Key::kLeft; break;
    case C::kRight: windowKey = Key::kRight; break;
    case C::kF1: windowKey = Key::kF1; break;
    default: break;
  }
  if (key.code == C::kSpace && !(keyFilter && *keyFilter)) {
    PressFocusedOrNextLink();
    return;
  }
  HandleKey(windowKey, keyFilter);
}

}  // namespace ui
