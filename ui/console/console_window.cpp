#include "ui/console/console_window.h"

#include <algorithm>
#include <iostream>
#include <utility>

#include "platform/clock.h"
#include "platform/shell.h"
#include "resources/window_templates.h"
#include "ui/help_text.h"

namespace ui {
namespace {

constexpr int kIdleWaitMs = 500;

// The controls of the update window in the order the terminal shows them
// from the top, which is also the order of the line protocol's elements.
constexpr int kShownOrder[] = {kHeadline, kMessageArea, kStatusLine, kSizeDisplay,
                               kProgressBar, kMainButton, kCloseButton, kHelpButton};

}  // namespace

// --- Construction.

ConsoleOptions StandardConsoleOptions(WindowTemplate which) {
  ConsoleOptions options;
  options.which = which;
  options.terminal = platform::IsTerminal(platform::kStandardOutput);
  options.inputStream = platform::kStandardInput;
  if (options.terminal) {
    options.terminalOutput = platform::kStandardOutput;
    options.rawInput = true;
    options.openLinksOnDesktop = true;
  }
  return options;
}

std::unique_ptr<WindowSystem> CreateConsoleWindow(WindowTemplate which) {
  return std::make_unique<ConsoleWindow>(StandardConsoleOptions(which));
}

ConsoleWindow::ConsoleWindow(const ConsoleOptions& options)
    : options_(options),
      out_(options.output ? *options.output : std::cout),
      err_(options.errors ? *options.errors : std::cerr),
      screen_(options.screen) {
  const resources::WindowTemplate& dialog = options_.which == WindowTemplate::kUpdateWindow
                                                ? resources::UpdateWindowTemplate()
                                                : resources::InstallWindowTemplate();
  title_ = dialog.title;
  closable_ = dialog.closable;
  resources::PixelRect client = resources::ToPixels({0, 0, dialog.width, dialog.height});
  outer_ = Size{client.width, client.height};
  auto add = [&](const resources::ControlTemplate& t) {
    Control c;
    c.id = t.id;
    c.name = t.name;
    switch (t.kind) {
      case resources::ControlKind::kDefaultButton:
      case resources::ControlKind::kButton: c.kind = ControlKind::kButton; break;
      case resources::ControlKind::kLabel:
      case resources::ControlKind::kRightLabel: c.kind = ControlKind::kLabel; break;
      case resources::ControlKind::kProgressBar: c.kind = ControlKind::kProgress; break;
      case resources::ControlKind::kMessageArea: c.kind = ControlKind::kMessage; break;
    }
    c.tabStop = t.tabStop;
    c.enabled = t.enabled;
    c.visible = t.visible;
    resources::PixelRect r = resources::ToPixels(t.rect);
    c.placement = Rect{r.left, r.top, r.width, r.height};
    controls_.push_back(c);
  };
  if (options_.which == WindowTemplate::kUpdateWindow) {
    for (int id : kShownOrder) {
      if (const resources::ControlTemplate* t = dialog.Find(id)) add(*t);
    }
  } else {
    for (const resources::ControlTemplate& t : dialog.controls) add(t);
  }
  for (const resources::ControlTemplate& t : dialog.controls) {
    if (t.tabStop) tabOrder_.push_back(t.id);
  }
  // The focus starts on the first tab stop that takes it (the close button
  // of the update window, whose main button starts disabled).
  MoveFocus(true);
  EnterRawMode();
}

void ConsoleWindow::EnterRawMode() {
  if (options_.terminal && options_.rawInput) {
    int output = options_.terminalOutput >= 0 ? options_.terminalOutput : platform::kStandardOutput;
    rawMode_ = platform::RawTerminalMode::Enter(options_.inputStream, output, "");
  }
}

ConsoleWindow::~ConsoleWindow() {
  LeaveScreen();
  rawMode_.Leave();
}

std::int64_t ConsoleWindow::NowMs() const {
  return options_.nowMs ? options_.nowMs() : platform::MonotonicMs();
}

ConsoleWindow::Control* ConsoleWindow::Find(int id) {
  for (Control& c : controls_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

const ConsoleWindow::Control* ConsoleWindow::Find(int id) const {
  for (const Control& c : controls_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

void ConsoleWindow::Changed(Control* control) {
  if (control) ++control->version;
  dirty_ = true;
}

void ConsoleWindow::CommandTo(int id) {
  if (sink_) sink_->OnCommand(id);
}

// --- The window and its controls.

void ConsoleWindow::SetTitle(std::string_view title) {
  if (title_ == title) return;
  title_ = title;
  ++titleVersion_;
  Changed(nullptr);
}

void ConsoleWindow::ShowWindow() {
  if (destroyed_ || visible_) return;
  visible_ = true;
  if (hidden_) {
    // Back from HideWindow: the terminal is ours again, and every element
    // is written once more.
    hidden_ = false;
    EnterRawMode();
    written_.clear();
    titlePublished_ = 0;
    for (Control& c : controls_) c.publishedVersion = 0;
  }
  if (focus_ == 0) MoveFocus(true);
  if (!options_.terminal) {
    WriteLine("window: shown");
    PublishLines();
  }
  dirty_ = true;
  Refresh();
}

void ConsoleWindow::HideWindow() {
  if (destroyed_ || !visible_) return;
  if (!options_.terminal) PublishLines();
  visible_ = false;
  hidden_ = true;
  if (!options_.terminal) WriteLine("window: hidden");
  LeaveScreen();
  rawMode_.Leave();
}

void ConsoleWindow::DestroyWindow() {
  if (destroyed_) return;
  bool wasShown = visible_;
  if (!options_.terminal) PublishLines();
  destroyed_ = true;
  visible_ = false;
  timers_.clear();
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    posted_.clear();
  }
  help_.reset();
  if (!options_.terminal && wasShown) WriteLine("window: closed");
  if (boxes_.empty()) {
    LeaveScreen();
    rawMode_.Leave();
  }
}

void ConsoleWindow::SetFont(std::string_view face, int height) {
  fontFace_ = face;
  fontHeight_ = height;
}

void ConsoleWindow::SetText(int control, std::string_view text) {
  Control* c = Find(control);
  if (!c || c->text == text) return;
  c->text = text;
  if (c->kind == ControlKind::kMessage) {
    messageScroll_ = 0;
    selectedLink_ = 0;
  }
  Changed(c);
}

std::string ConsoleWindow::Text(int control) const {
  const Control* c = Find(control);
  return c ? c->text : std::string();
}

void ConsoleWindow::Enable(int control, bool enabled) {
  Control* c = Find(control);
  if (!c || c->enabled == enabled) return;
  c->enabled = enabled;
  Changed(c);
  if (!enabled) FocusAwayFrom(control);
}

bool ConsoleWindow::IsEnabled(int control) const {
  const Control* c = Find(control);
  return c && c->enabled;
}

void ConsoleWindow::Show(int control, bool visible) {
  Control* c = Find(control);
  if (!c || c->visible == visible) return;
  c->visible = visible;
  Changed(c);
  if (!visible) FocusAwayFrom(control);
}

bool ConsoleWindow::IsShown(int control) const {
  const Control* c = Find(control);
  return c && c->visible;
}

// A control that is disabled or hidden cannot keep the focus: it goes on
// to the next control that takes it, as on the desktop (so that Enter does
// not land on a dead button after a download).
void ConsoleWindow::FocusAwayFrom(int control) {
  if (focus_ == control) MoveFocus(true);
}

void ConsoleWindow::Focus(int control) {
  if (!Find(control) || focus_ == control) return;
  focus_ = control;
  Changed(nullptr);
}

void ConsoleWindow::MoveFocus(bool forward) {
  std::vector<int> order;
  for (int id : tabOrder_) {
    const Control* c = Find(id);
    if (c && c->visible && c->enabled) order.push_back(id);
  }
  if (order.empty()) return;
  auto at = std::find(order.begin(), order.end(), focus_);
  int next;
  if (at == order.end()) {
    // From a control that does not take the focus: the neighbour in the
    // full tab order, as if it still did.
    auto full = std::find(tabOrder_.begin(), tabOrder_.end(), focus_);
    next = forward ? order.front() : order.back();
    if (full != tabOrder_.end()) {
      std::size_t n = tabOrder_.size();
      std::size_t i = static_cast<std::size_t>(full - tabOrder_.begin());
      for (std::size_t step = 1; step < n; ++step) {
        int candidate = tabOrder_[forward ? (i + step) % n : (i + n - step) % n];
        if (std::find(order.begin(), order.end(), candidate) != order.end()) {
          next = candidate;
          break;
        }
      }
    }
  } else {
    std::size_t i = static_cast<std::size_t>(at - order.begin());
    std::size_t n = order.size();
    next = order[forward ? (i + 1) % n : (i + n - 1) % n];
  }
  Focus(next);
}

void ConsoleWindow::Move(int control, Rect placement) {
  if (Control* c = Find(control)) c->placement = placement;
}

Rect ConsoleWindow::Placement(int control) const {
  const Control* c = Find(control);
  return c ? c->placement : Rect{};
}

Size ConsoleWindow::MeasureText(int control) const {
  const Control* c = Find(control);
  if (!c) return Size{};
  return Size{console::Columns(c->text) * kCellWidth, kCellHeight};
}

void ConsoleWindow::SetProgressRange(std::int32_t maximum) {
  std::int32_t position = std::clamp(progressPosition_, 0, std::max(maximum, 0));
  if (maximum == progressMaximum_ && position == progressPosition_) return;
  progressMaximum_ = maximum;
  progressPosition_ = position;
  for (Control& c : controls_) {
    if (c.kind == ControlKind::kProgress) Changed(&c);
  }
}

void ConsoleWindow::SetProgress(std::int32_t position) {
  position = std::clamp(position, 0, std::max(progressMaximum_, 0));
  if (position == progressPosition_) return;
  progressPosition_ = position;
  for (Control& c : controls_) {
    if (c.kind == ControlKind::kProgress) Changed(&c);
  }
}

// --- Timers and events.

void ConsoleWindow::StartTimer(int id, int periodMs) {
  if (destroyed_) return;
  int period = std::max(periodMs, 1);
  timers_[id] = Timer{period, NowMs() + period};
}

void ConsoleWindow::StopTimer(int id) { timers_.erase(id); }

bool ConsoleWindow::DispatchTimer() {
  if (timers_.empty()) return false;
  auto due = std::min_element(timers_.begin(), timers_.end(),
                              [](const auto& a, const auto& b) { return a.second.dueMs < b.second.dueMs; });
  std::int64_t now = NowMs();
  if (due->second.dueMs > now) return false;
  int id = due->first;
  // The next tick keeps the rhythm; ticks missed while the thread was busy
  // are not made up.
  due->second.dueMs += due->second.periodMs;
  if (due->second.dueMs <= now) due->second.dueMs = now + due->second.periodMs;
  if (sink_) sink_->OnTimer(id);
  return true;
}

void ConsoleWindow::PostCommand(int id) {
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    posted_.push_back(id);
  }
  if (std::this_thread::get_id() != windowThread_) platform::WakeInputWaits();
}

bool ConsoleWindow::HasPosted() const {
  std::lock_guard<std::mutex> lock(postedMutex_);
  return !posted_.empty();
}

bool ConsoleWindow::IdleCloseDue() const {
  return options_.which == WindowTemplate::kUpdateWindow && inputEnded_ && input_.empty() && !HasPosted() &&
         timers_.empty() && boxes_.empty() && !destroyed_ && !idleCloseSent_;
}

bool ConsoleWindow::DispatchOne(const KeyFilter* keyFilter) {
  bool runKeys = keyFilter && *keyFilter;
  if (runKeys != runKeys_) {
    runKeys_ = runKeys;
    dirty_ = true;
  }
  if (!options_.terminal) PublishLines();
  if (!destroyed_) {
    std::optional<int> id;
    {
      std::lock_guard<std::mutex> lock(postedMutex_);
      if (!posted_.empty()) {
        id = posted_.front();
        posted_.pop_front();
      }
    }
    if (id) {
      CommandTo(*id);
      return true;
    }
  }
  PullInput(0);
  if (DispatchInput(keyFilter)) return true;
  if (!destroyed_ && DispatchTimer()) return true;
  if (IdleCloseDue()) {
    idleCloseSent_ = true;
    CommandTo(kCloseButton);
    return true;
  }
  return false;
}

void ConsoleWindow::WaitForEvents(int maxMs) {
  if (!options_.terminal) PublishLines();
  Refresh();
  if ((!destroyed_ && HasPosted()) || HasCompleteInput() || IdleCloseDue()) return;
  std::int64_t now = NowMs();
  std::int64_t wait = std::max(maxMs, 0);
  if (!destroyed_) {
    for (const auto& [id, timer] : timers_) wait = std::min(wait, std::max<std::int64_t>(timer.dueMs - now, 0));
  }
  if (partialKeySinceMs_ >= 0)
    wait = std::min(wait, std::max<std::int64_t>(partialKeySinceMs_ + options_.escapeDelayMs - now, 0));
  if (wait <= 0) return;
  if (options_.waitMs) {
    // Virtual time: the input is only polled, the clock's owner lets the
    // time pass.
    PullInput(0);
    if (!HasCompleteInput()) options_.waitMs(static_cast<int>(wait));
  } else if (!inputEnded_) {
    PullInput(static_cast<int>(wait));
  } else {
    platform::WaitForWake(static_cast<int>(wait));
  }
}

void ConsoleWindow::RunMessageLoop() {
  while (!destroyed_) {
    if (!DispatchOne(nullptr)) WaitForEvents(kIdleWaitMs);
  }
}

Answer ConsoleWindow::AskOkCancel(std::string_view text, std::string_view caption, MessageIcon icon) {
  MessageBox box;
  box.text = text;
  box.caption = caption;
  box.icon = icon;
  bool destroyedBefore = destroyed_;
  boxes_.push_back(&box);
  if (!options_.terminal) {
    PublishLines();
    WriteLine("messagebox: " + console::EscapeLine(caption) + ": " + console::EscapeLine(text));
  }
  dirty_ = true;
  Refresh();
  while (!box.answer) {
    // The box goes with its window, and with the input: nobody is left to
    // answer it.
    if ((destroyed_ && !destroyedBefore) || (inputEnded_ && input_.empty())) {
      box.answer = Answer::kCancel;
      break;
    }
    if (!DispatchOne(nullptr)) WaitForEvents(kIdleWaitMs);
  }
  boxes_.pop_back();
  if (!options_.terminal) {
    PublishLines();
    WriteLine(*box.answer == Answer::kOk ? "answer: ok" : "answer: cancel");
  }
  dirty_ = true;
  if (destroyed_ && boxes_.empty()) {
    LeaveScreen();
    rawMode_.Leave();
  } else {
    Refresh();
  }
  return *box.answer;
}

void ConsoleWindow::SetMessageBoxLabels(std::string_view ok, std::string_view cancel) {
  okLabel_ = ok;
  cancelLabel_ = cancel;
}

// --- Help and links.

void ConsoleWindow::OpenHelpTopic(const std::string& chmPath, const std::string& topic) {
  if (!options_.terminal) {
    PublishLines();
    WriteLine("help: " + console::EscapeLine(chmPath) + " " + console::EscapeLine(topic));
    return;
  }
  std::optional<std::string> page = ReadHelpTopic(chmPath, topic);
  if (!page) {
    // Where the program reads no help itself, the system's viewer shows it.
    platform::OpenHelpTopic(chmPath, topic);
    return;
  }
  help_ = HelpView{HtmlToText(*page), 0, ++helpVersions_};
  dirty_ = true;
  Refresh();
}

void ConsoleWindow::OpenLink(std::string_view link) {
  if (!options_.terminal) {
    PublishLines();
    WriteLine("link: " + console::EscapeLine(link));
    return;
  }
  bool opened = options_.openLinksOnDesktop && platform::OpenUrl(link);
  notice_ = (opened ? "Opened in the browser: " : "Open this address in a browser: ") + console::Printable(link);
  dirty_ = true;
  Refresh();
}

}  // namespace ui
