#include "ui/console/console_window.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <utility>

#include "base/ascii_text.h"
#include "platform/clock.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "ui/help_text.h"
#include "ui/link_finder.h"

namespace ui {
namespace {

constexpr int kIdleWaitMs = 500;
constexpr int kSizeCheckMs = 200;
constexpr int kMargin = 2;

const char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[2J";
const char kLeaveScreen[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

const char kUpdateTitle[] = "Update Tolvaro DVD";
const char kInstallTitle[] = "Tolvaro copying updated files...";

// Template sizes in pixels (dialog units of 8-point MS Sans Serif: 1.5 px
// across, 1.625 px down).
constexpr Size kUpdateWindowSize{480, 307};
constexpr Size kInstallWindowSize{407, 46};
constexpr Rect kHeadlinePlacement{0, 0, 459, 18};
constexpr Rect kInstallProgressPlacement{11, 11, 386, 23};

bool SameSize(Size a, Size b) { return a.width == b.width && a.height == b.height; }

// --- Text in character cells. The text is in the locale's charset; one
// character is one cell.

int Columns(std::string_view text) {
  int n = 0;
  for (std::size_t i = 0; i < text.size(); ++n) i += platform::AnsiCharLength(text.data() + i, text.size() - i);
  return n;
}

// At most `width` characters of `text`.
std::string_view CutColumns(std::string_view text, int width) {
  std::size_t i = 0;
  for (int n = 0; i < text.size() && n < width; ++n) i += platform::AnsiCharLength(text.data() + i, text.size() - i);
  return text.substr(0, i);
}

// Exactly `width` cells: cut, or filled with blanks.
std::string FitColumns(std::string_view text, int width) {
  std::string out(CutColumns(text, width));
  int have = Columns(out);
  if (have < width) out.append(static_cast<std::size_t>(width - have), ' ');
  return out;
}

// Control characters would move the cursor or change colours on the
// screen; they show as blanks.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
  }
  return out;
}

// Splits `text` into lines of at most `width` cells, breaking at blanks
// where it can. Line ends ("\n", "\r\n", "\r") start new lines.
std::vector<std::string> WrapText(std::string_view text, int width) {
  std::vector<std::string> lines;
  width = std::max(width, 1);
  std::string paragraph;
  auto flush = [&](std::string_view p) {
    std::string rest = Printable(p);
    if (rest.empty()) {
      lines.emplace_back();
      return;
    }
    while (!rest.empty()) {
      if (Columns(rest) <= width) {
        lines.push_back(rest);
        break;
      }
      std::string_view head = CutColumns(rest, width);
      std::size_t cut = head.size();
      std::size_t blank = rest.rfind(' ', head.size());
      if (blank != std::string::npos && blank > 0) cut = blank;
      std::string line = rest.substr(0, cut);
      while (!line.empty() && line.back() == ' ') line.pop_back();
      lines.push_back(line);
      std::size_t next = cut;
      while (next < rest.size() && rest[next] == ' ') ++next;
      rest.erase(0, next);
    }
  };
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || text[i] == '\r') {
      flush(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) flush(text.substr(start));
  return lines;
}

// Line protocol: one line per element; backslashes and control characters
// are escaped so that a text never spans lines.
std::string Escape(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7f) {
          out += "\\x";
          out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 15]);
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

std::string_view Trim(std::string_view text) {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  return base::TrimBlanks(text);
}

}  // namespace

// --- Drawing: rows of styled text.

namespace {
enum class Style { kPlain, kBold, kReverse, kDim };
}  // namespace

struct ConsoleWindow::Segment {
  std::string text;
  Style style = Style::kPlain;
};

namespace {

template <typename RowT>
int RowColumns(const RowT& row) {
  int n = 0;
  for (const auto& s : row) n += Columns(s.text);
  return n;
}

template <typename RowT>
std::string RowText(const RowT& row) {
  std::string out;
  for (const auto& s : row) out += s.text;
  return out;
}

template <typename RowT>
std::string RowStyled(const RowT& row) {
  std::string out;
  for (const auto& s : row) {
    switch (s.style) {
      case Style::kPlain: out += s.text; continue;
      case Style::kBold: out += "\x1b[1m"; break;
      case Style::kReverse: out += "\x1b[7m"; break;
      case Style::kDim: out += "\x1b[2m"; break;
    }
    out += s.text;
    out += "\x1b[0m";
  }
  return out;
}

// The cells [from, from + count) of a row, styles kept.
template <typename RowT>
RowT SliceRow(const RowT& row, int from, int count) {
  RowT out;
  int column = 0;
  for (const auto& s : row) {
    std::string piece;
    for (std::size_t i = 0; i < s.text.size();) {
      std::size_t len = platform::AnsiCharLength(s.text.data() + i, s.text.size() - i);
      if (column >= from && column < from + count) piece.append(s.text, i, len);
      ++column;
      i += len;
    }
    if (!piece.empty()) out.push_back({piece, s.style});
  }
  return out;
}

}  // namespace

struct ConsoleWindow::TermKey {
  enum Code {
    kEnter, kEscape, kTab, kBackTab, kLeft, kRight, kUp, kDown, kPageUp, kPageDown, kHome, kEnd, kF1, kSpace,
    kRedraw, kChar, kOther,
  };
  Code code = kOther;
  char ch = 0;
};

namespace {

// Decodes the key at the start of `bytes`. Returns the bytes it takes, or 0
// when they are the start of an escape sequence whose rest has not arrived
// yet (with `final`, what has arrived is taken as it is).
template <typename KeyT>
std::size_t DecodeKey(std::string_view bytes, bool final, KeyT& key) {
  using C = typename KeyT::Code;
  key = KeyT{};
  if (bytes.empty()) return 0;
  char c = bytes[0];
  if (c == '\x1b') {
    if (bytes.size() == 1) {
      if (!final) return 0;
      key.code = C::kEscape;
      return 1;
    }
    char c1 = bytes[1];
    if (c1 == '[') {
      if (bytes.size() >= 3 && bytes[2] == '[') {  // the Linux console's function keys
        if (bytes.size() < 4) {
          if (!final) return 0;
          key.code = C::kOther;
          return bytes.size();
        }
        key.code = bytes[3] == 'A' ? C::kF1 : C::kOther;
        return 4;
      }
      std::size_t j = 2;
      while (j < bytes.size() && bytes[j] >= 0x20 && bytes[j] <= 0x3f) ++j;
      if (j == bytes.size()) {
        if (!final) return 0;
        key.code = C::kOther;
        return j;
      }
      std::string_view params = bytes.substr(2, j - 2);
      switch (bytes[j]) {
        case 'A': key.code = C::kUp; break;
        case 'B': key.code = C::kDown; break;
        case 'C': key.code = C::kRight; break;
        case 'D': key.code = C::kLeft; break;
        case 'H': key.code = C::kHome; break;
        case 'F': key.code = C::kEnd; break;
        case 'Z': key.code = C::kBackTab; break;
        case 'P': key.code = C::kF1; break;
        case '~':
          if (params == "1" || params == "7") key.code = C::kHome;
          else if (params == "4" || params == "8") key.code = C::kEnd;
          else if (params == "5") key.code = C::kPageUp;
          else if (params == "6") key.code = C::kPageDown;
          else if (params == "11") key.code = C::kF1;
          else key.code = C::kOther;
          break;
        default: key.code = C::kOther;
      }
      return j + 1;
    }
    if (c1 == 'O') {
      if (bytes.size() < 3) {
        if (!final) return 0;
        key.code = C::kEscape;
        return 1;
      }
      switch (bytes[2]) {
        case 'P': key.code = C::kF1; break;
        case 'A': key.code = C::kUp; break;
        case 'B': key.code = C::kDown; break;
        case 'C': key.code = C::kRight; break;
        case 'D': key.code = C::kLeft; break;
        case 'H': key.code = C::kHome; break;
        case 'F': key.code = C::kEnd; break;
        case 'M': key.code = C::kEnter; break;
        default: key.code = C::kOther;
      }
      return 3;
    }
    if (c1 == '\x1b') {
      key.code = C::kEscape;
      return 1;
    }
    key.code = C::kOther;  // Alt and a key
    return 1 + platform::AnsiCharLength(bytes.data() + 1, bytes.size() - 1);
  }
  switch (c) {
    case '\r':
    case '\n': key.code = C::kEnter; return 1;
    case '\t': key.code = C::kTab; return 1;
    case ' ': key.code = C::kSpace; return 1;
    case '\x0c': key.code = C::kRedraw; return 1;
    default: break;
  }
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 0x21 && u < 0x7f) {
    key.code = C::kChar;
    key.ch = c;
    return 1;
  }
  key.code = C::kOther;
  return platform::AnsiCharLength(bytes.data(), bytes.size());
}

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
  auto add = [&](int id, ControlKind kind, const char* name, bool tabStop, bool enabled, bool visible,
                 Rect placement) {
    Control c;
    c.id = id;
    c.kind = kind;
    c.name = name;
    c.tabStop = tabStop;
    c.enabled = enabled;
    c.visible = visible;
    c.placement = placement;
    controls_.push_back(c);
  };
  if (options_.which == WindowTemplate::kUpdateWindow) {
    title_ = kUpdateTitle;
    outer_ = kUpdateWindowSize;
    add(kHeadline, ControlKind::kLabel, "headline", false, true, true, kHeadlinePlacement);
    add(kMessageArea, ControlKind::kMessage, "message", true, true, true, {});
    add(kStatusLine, ControlKind::kLabel, "status", false, true, true, {});
    add(kSizeDisplay, ControlKind::kLabel, "size", false, true, false, {});
    add(kProgressBar, ControlKind::kProgress, "progress", false, true, true, {});
    add(kMainButton, ControlKind::kButton, "main", true, false, true, {});
    add(kCloseButton, ControlKind::kButton, "close", true, true, true, {});
    add(kHelpButton, ControlKind::kButton, "help", true, true, true, {});
    // The template's order of tab stops; the main button starts disabled,
    // so the focus starts on the close button.
    tabOrder_ = {kMainButton, kCloseButton, kHelpButton, kMessageArea};
    focus_ = kCloseButton;
  } else {
    title_ = kInstallTitle;
    outer_ = kInstallWindowSize;
    add(kInstallProgress, ControlKind::kProgress, "progress", false, true, true, kInstallProgressPlacement);
  }
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

void ConsoleWindow::Changed() {
  dirty_ = true;
  if (!options_.terminal) PublishLines();
}

void ConsoleWindow::CommandTo(int id) {
  if (sink_) sink_->OnCommand(id);
}

// --- The window and its controls.

void ConsoleWindow::SetTitle(std::string_view title) {
  if (title_ == title) return;
  title_ = title;
  Changed();
}

void ConsoleWindow::ShowWindow() {
  if (destroyed_ || visible_) return;
  visible_ = true;
  if (focus_ == 0) MoveFocus(true);
  if (!options_.terminal) WriteLine("window: shown");
  Changed();
  Refresh();
}

void ConsoleWindow::DestroyWindow() {
  if (destroyed_) return;
  bool wasShown = visible_;
  destroyed_ = true;
  visible_ = false;
  timers_.clear();
  posted_.clear();
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
  Changed();
}

std::string ConsoleWindow::Text(int control) const {
  const Control* c = Find(control);
  return c ? c->text : std::string();
}

void ConsoleWindow::Enable(int control, bool enabled) {
  Control* c = Find(control);
  if (!c || c->enabled == enabled) return;
  c->enabled = enabled;
  Changed();
}

bool ConsoleWindow::IsEnabled(int control) const {
  const Control* c = Find(control);
  return c && c->enabled;
}

void ConsoleWindow::Show(int control, bool visible) {
  Control* c = Find(control);
  if (!c || c->visible == visible) return;
  c->visible = visible;
  Changed();
}

bool ConsoleWindow::IsShown(int control) const {
  const Control* c = Find(control);
  return c && c->visible;
}

void ConsoleWindow::Focus(int control) {
  if (!Find(control) || focus_ == control) return;
  focus_ = control;
  Changed();
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
  return Size{Columns(c->text) * kCellWidth, kCellHeight};
}

void ConsoleWindow::SetProgressRange(std::int32_t maximum) {
  std::int32_t position = std::clamp(progressPosition_, 0, std::max(maximum, 0));
  if (maximum == progressMaximum_ && position == progressPosition_) return;
  progressMaximum_ = maximum;
  progressPosition_ = position;
  Changed();
}

void ConsoleWindow::SetProgress(std::int32_t position) {
  position = std::clamp(position, 0, std::max(progressMaximum_, 0));
  if (position == progressPosition_) return;
  progressPosition_ = position;
  Changed();
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

bool ConsoleWindow::IdleCloseDue() const {
  return options_.which == WindowTemplate::kUpdateWindow && inputEnded_ && input_.empty() && posted_.empty() &&
         timers_.empty() && boxes_.empty() && !destroyed_ && !idleCloseSent_;
}

bool ConsoleWindow::DispatchOne(const KeyFilter* keyFilter) {
  if (!destroyed_ && !posted_.empty()) {
    int id = posted_.front();
    posted_.pop_front();
    CommandTo(id);
    return true;
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
  Refresh();
  if ((!destroyed_ && !posted_.empty()) || HasCompleteInput() || IdleCloseDue()) return;
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
    platform::SleepMs(static_cast<std::uint32_t>(wait));
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
  if (!options_.terminal) WriteLine("messagebox: " + Escape(caption) + ": " + Escape(text));
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
  if (!options_.terminal) WriteLine(*box.answer == Answer::kOk ? "answer: ok" : "answer: cancel");
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

// --- Input.

bool ConsoleWindow::PullInput(int timeoutMs) {
  if (inputEnded_) return false;
  platform::InputState state = platform::ReadAvailableInput(options_.inputStream, input_, timeoutMs);
  if (state == platform::InputState::kEnded) inputEnded_ = true;
  return state == platform::InputState::kData;
}

bool ConsoleWindow::HasCompleteInput() const {
  if (input_.empty()) return false;
  if (!options_.terminal) return inputEnded_ || input_.find('\n') != std::string::npos;
  TermKey key;
  return DecodeKey(input_, inputEnded_, key) > 0;
}

std::optional<std::string> ConsoleWindow::TakeLine() {
  std::size_t end = input_.find('\n');
  if (end == std::string::npos) {
    if (!inputEnded_ || input_.empty()) return std::nullopt;
    end = input_.size();
  }
  std::string line = input_.substr(0, end);
  input_.erase(0, std::min(end + 1, input_.size()));
  return line;
}

bool ConsoleWindow::DispatchInput(const KeyFilter* keyFilter) {
  if (!options_.terminal) {
    while (auto line = TakeLine()) {
      std::string_view command = Trim(*line);
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
  std::size_t used = DecodeKey(input_, final, key);
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

void ConsoleWindow::HandleCommand(std::string_view line, const KeyFilter* keyFilter) {
  std::size_t blank = line.find_first_of(" \t");
  std::string_view word = line.substr(0, blank);
  std::string_view rest = blank == std::string_view::npos ? std::string_view() : Trim(line.substr(blank));

  static const std::pair<const char*, Key> kKeys[] = {
      {"enter", Key::kEnter}, {"esc", Key::kEscape}, {"tab", Key::kTab},
      {"left", Key::kLeft},   {"right", Key::kRight}, {"f1", Key::kF1},
  };
  std::optional<Key> key;
  for (const auto& [name, k] : kKeys) {
    if (word == name) key = k;
  }
  bool known = key || word == "main" || word == "close" || word == "help" || word == "link" || word == "ok" ||
               word == "cancel";
  if (!known) {
    Report("unknown command \"" + Escape(line) + "\"");
    return;
  }
  if (!boxes_.empty()) {
    MessageBox& box = *boxes_.back();
    if (word == "ok" || key == Key::kEnter) {
      box.answer = Answer::kOk;
    } else if (word == "cancel" || key == Key::kEscape) {
      box.answer = Answer::kCancel;
    } else {
      Report("\"" + Escape(line) + "\" ignored: a message box is open");
    }
    return;
  }
  if (word == "ok" || word == "cancel") {
    Report("\"" + Escape(line) + "\" ignored: no message box is open");
    return;
  }
  if (!visible_) {
    Report("\"" + Escape(line) + "\" ignored: the window is not shown");
    return;
  }
  if (key) {
    HandleKey(*key, keyFilter);
  } else if (word == "main") {
    PressButton(kMainButton);
  } else if (word == "help") {
    PressButton(kHelpButton);
  } else if (word == "close") {
    if (options_.which == WindowTemplate::kInstallWindow) {
      Report("\"close\" ignored: this window cannot be closed");
    } else {
      CommandTo(kCloseButton);
    }
  } else if (rest.empty()) {
    Report("\"link\" needs an address");
  } else if (sink_) {
    sink_->OnLinkClicked(rest);
  }
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
      if (const Control* close = Find(kCloseButton); close && close->enabled) CommandTo(kCloseButton);
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

std::vector<std::string> ConsoleWindow::MessageLinks() const {
  const Control* message = Find(kMessageArea);
  return message && message->visible ? LinkTexts(message->text) : std::vector<std::string>();
}

std::string ConsoleWindow::SelectedLink() const {
  std::vector<std::string> links = MessageLinks();
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
  // during a run as well.
  switch (key.code) {
    case C::kUp: ScrollMessage(1); return;
    case C::kDown: ScrollMessage(-1); return;
    case C::kPageUp: ScrollMessage(page); return;
    case C::kPageDown: ScrollMessage(-page); return;
    case C::kHome: ScrollMessage(1 << 20); return;
    case C::kEnd: ScrollMessage(-(1 << 20)); return;
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

// --- Help and links.

void ConsoleWindow::OpenHelpTopic(const std::string& chmPath, const std::string& topic) {
  if (!options_.terminal) {
    WriteLine("help: " + Escape(chmPath) + " " + Escape(topic));
    return;
  }
  std::optional<std::string> page = ReadHelpTopic(chmPath, topic);
  if (!page) {
    // Where the program reads no help itself, the system's viewer shows it.
    platform::OpenHelpTopic(chmPath, topic);
    return;
  }
  help_ = HelpView{HtmlToText(*page), 0};
  dirty_ = true;
  Refresh();
}

void ConsoleWindow::OpenLink(std::string_view link) {
  if (!options_.terminal) {
    WriteLine("link: " + Escape(link));
    return;
  }
  bool opened = options_.openLinksOnDesktop && platform::OpenUrl(link);
  notice_ = (opened ? "Opened in the browser: " : "Open this address in a browser: ") + Printable(link);
  dirty_ = true;
  Refresh();
}

// --- The line protocol.

void ConsoleWindow::WriteLine(std::string_view line) {
  out_ << line << '\n';
  out_.flush();
}

void ConsoleWindow::Publish(const std::string& key, bool visible, const std::string& value) {
  Written& w = written_[key];
  if (!visible) {
    if (w.visible != false) WriteLine(key + ": hidden");
    w.visible = false;
    w.value.reset();
    return;
  }
  if (w.visible == false) WriteLine(key + ": shown");
  w.visible = true;
  if (w.value != value) {
    WriteLine(key + ": " + value);
    w.value = value;
  }
}

void ConsoleWindow::PublishLines() {
  if (!visible_ || destroyed_) return;
  Publish("title", true, Escape(title_));
  for (const Control& c : controls_) {
    switch (c.kind) {
      case ControlKind::kButton:
        Publish(std::string("button ") + c.name, c.visible,
                Escape(c.text) + (c.enabled ? " (enabled)" : " (disabled)"));
        break;
      case ControlKind::kProgress:
        Publish(c.name, c.visible, std::to_string(progressPosition_) + "/" + std::to_string(progressMaximum_));
        break;
      case ControlKind::kLabel:
      case ControlKind::kMessage: Publish(c.name, c.visible, Escape(c.text)); break;
    }
  }
  if (!tabOrder_.empty()) {
    const Control* focused = Find(focus_);
    Publish("focus", true, focused ? focused->name : "none");
  }
}

// --- The terminal.

void ConsoleWindow::EnterScreen() {
  if (screenActive_) return;
  out_ << kEnterScreen;
  screenActive_ = true;
  drawn_.clear();
  drawnScreen_ = Size{-1, -1};
  rawMode_.SetLeaveText(kLeaveScreen);
}

void ConsoleWindow::LeaveScreen() {
  if (!screenActive_) return;
  out_ << kLeaveScreen;
  out_.flush();
  screenActive_ = false;
  rawMode_.SetLeaveText("");
}

void ConsoleWindow::Refresh() {
  if (!options_.terminal) return;
  if (!visible_ && boxes_.empty()) {
    LeaveScreen();
    return;
  }
  std::int64_t now = NowMs();
  if (options_.terminalOutput >= 0 && now >= nextSizeCheckMs_) {
    nextSizeCheckMs_ = now + kSizeCheckMs;
    if (auto size = platform::TerminalSizeOf(options_.terminalOutput)) screen_ = Size{size->columns, size->rows};
  }
  if (!dirty_ && screenActive_ && SameSize(screen_, drawnScreen_)) return;
  std::vector<Row> frame = Compose(screen_.width, screen_.height);
  EnterScreen();
  // The changes go out in one write, so that no terminal ever sees an
  // escape sequence in pieces (and nothing flickers).
  std::string update;
  if (!SameSize(screen_, drawnScreen_)) {
    update += "\x1b[2J";
    drawn_.clear();
    drawnScreen_ = screen_;
  }
  std::vector<std::string> rows;
  rows.reserve(frame.size());
  for (std::size_t i = 0; i < frame.size(); ++i) {
    rows.push_back(RowStyled(frame[i]));
    if (i < drawn_.size() && drawn_[i] == rows.back()) continue;
    update += "\x1b[" + std::to_string(i + 1) + ";1H" + rows.back() + "\x1b[0m\x1b[K";
  }
  out_ << update;
  out_.flush();
  drawn_ = std::move(rows);
  dirty_ = false;
}

std::string ConsoleWindow::RenderText(int columns, int rows) const {
  std::vector<Row> frame = Compose(columns, rows);
  std::string out;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    std::string line = RowText(frame[i]);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (i > 0) out.push_back('\n');
    out += line;
  }
  return out;
}

namespace {

template <typename RowT>
RowT TitleBar(std::string_view title, int columns) {
  std::string text = Printable(title);
  int width = Columns(text);
  int left = std::max(0, (columns - width) / 2);
  return RowT{{FitColumns(std::string(static_cast<std::size_t>(left), ' ') + text, columns), Style::kReverse}};
}

std::string ProgressBar(std::int32_t position, std::int32_t maximum, int width) {
  int inner = std::max(width - 2, 1);
  int filled = maximum > 0 ? static_cast<int>(static_cast<std::int64_t>(position) * inner / maximum) : 0;
  filled = std::clamp(filled, 0, inner);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(inner - filled), '-') + "]";
}

}  // namespace

std::vector<ConsoleWindow::Row> ConsoleWindow::Compose(int columns, int rows) const {
  columns = std::max(columns, 20);
  rows = std::max(rows, 1);
  std::vector<Row> frame(static_cast<std::size_t>(rows));
  if (help_) {
    ComposeHelp(frame, columns, rows);
  } else if (visible_) {
    if (options_.which == WindowTemplate::kUpdateWindow) {
      ComposeUpdateWindow(frame, columns, rows);
    } else {
      ComposeInstallWindow(frame, columns);
    }
  }
  if (!boxes_.empty()) OverlayBox(frame, *boxes_.back(), columns, rows);
  frame.resize(static_cast<std::size_t>(rows));
  return frame;
}

void ConsoleWindow::ComposeUpdateWindow(std::vector<Row>& frame, int columns, int rows) const {
  const int inner = columns - 2 * kMargin;
  const std::string margin(kMargin, ' ');
  const int messageRows = std::max(1, rows - 11);
  frame.resize(std::max<std::size_t>(frame.size(), static_cast<std::size_t>(messageRows + 11)));
  auto put = [&](int row, std::string text, Style style = Style::kPlain) {
    frame[static_cast<std::size_t>(row)].push_back({std::move(text), style});
  };

  frame[0] = TitleBar<Row>(title_, columns);

  const Control* headline = Find(kHeadline);
  if (headline->visible) {
    put(2, margin);
    put(2, std::string(CutColumns(Printable(headline->text), inner)), Style::kBold);
  }

  const Control* message = Find(kMessageArea);
  const int top = 4;
  if (message->visible) {
    const int textWidth = std::max(inner - 4, 1);
    std::vector<std::string> lines = WrapText(message->text, textWidth);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    int total = static_cast<int>(lines.size());
    messageMaxScroll_ = std::max(0, total - messageRows);
    int scroll = std::clamp(messageScroll_, 0, messageMaxScroll_);
    int first = std::max(0, total - messageRows - scroll);
    char fill = focus_ == kMessageArea ? '=' : '-';
    auto border = [&](bool more, const char* mark) {
      std::string line = "+" + std::string(static_cast<std::size_t>(std::max(inner - 2, 0)), fill) + "+";
      if (more && inner > 8) line.replace(static_cast<std::size_t>(inner - 6), 4, mark);
      return line;
    };
    put(top, margin + border(first > 0, " ^^ "));
    for (int r = 0; r < messageRows; ++r) {
      int index = first + r;
      std::string text = index < total ? lines[static_cast<std::size_t>(index)] : std::string();
      put(top + 1 + r, margin + "| " + FitColumns(text, textWidth) + " |");
    }
    put(top + 1 + messageRows, margin + border(scroll > 0, " vv "));
  } else {
    messageMaxScroll_ = 0;
  }

  const int statusRow = top + messageRows + 2;
  const Control* status = Find(kStatusLine);
  const Control* size = Find(kSizeDisplay);
  std::string sizeText = size->visible ? Printable(size->text) : std::string();
  int sizeWidth = std::min(Columns(sizeText), inner);
  int statusWidth = std::max(inner - sizeWidth - (sizeWidth > 0 ? 2 : 0), 0);
  put(statusRow, margin + FitColumns(status->visible ? Printable(status->text) : std::string(), statusWidth));
  if (sizeWidth > 0) put(statusRow, std::string(sizeWidth > 0 ? 2 : 0, ' ') + std::string(CutColumns(sizeText, sizeWidth)));

  const Control* bar = Find(kProgressBar);
  if (bar->visible) put(statusRow + 1, margin + ProgressBar(progressPosition_, progressMaximum_, inner));

  // The buttons from the right, as the window lays them out: close, then
  // main, then help to their left.
  Row buttons;
  for (int id : {kHelpButton, kMainButton, kCloseButton}) {
    const Control* c = Find(id);
    if (!c->visible) continue;
    bool focused = focus_ == id;
    std::string label = Printable(c->text);
    std::string text = c->enabled ? (focused ? "[>" + label + "<]" : "[ " + label + " ]")
                                  : (focused ? "(>" + label + "<)" : "( " + label + " )");
    if (!buttons.empty()) buttons.push_back({"  ", Style::kPlain});
    buttons.push_back({text, !c->enabled ? Style::kDim : focused ? Style::kReverse : Style::kPlain});
  }
  int buttonsWidth = RowColumns(buttons);
  int pad = std::max(kMargin + inner - buttonsWidth, 0);
  Row& buttonRow = frame[static_cast<std::size_t>(statusRow + 3)];
  buttonRow.push_back({std::string(static_cast<std::size_t>(pad), ' '), Style::kPlain});
  for (Segment& s : buttons) buttonRow.push_back(s);
  if (RowColumns(buttonRow) > columns) buttonRow = SliceRow(buttonRow, 0, columns);

  std::string hint;
  Style hintStyle = Style::kDim;
  std::string link = focus_ == kMessageArea ? SelectedLink() : std::string();
  if (!notice_.empty()) {
    hint = notice_;
    hintStyle = Style::kBold;
  } else if (!link.empty()) {
    hint = "Enter: open " + Printable(link) + (MessageLinks().size() > 1 ? "   Space: next link" : "");
  } else {
    // As many of the key hints as fit.
    for (const char* piece : {"Tab/arrows: move", "Enter: press", "Esc: close", "F1: help", "PgUp/PgDn: scroll"}) {
      std::string longer = hint.empty() ? std::string(piece) : hint + "  " + piece;
      if (Columns(longer) > inner) break;
      hint = longer;
    }
  }
  put(statusRow + 4, margin + std::string(CutColumns(hint, inner)), hintStyle);
}

void ConsoleWindow::ComposeInstallWindow(std::vector<Row>& frame, int columns) const {
  frame.resize(std::max<std::size_t>(frame.size(), 3));
  frame[0] = TitleBar<Row>(title_, columns);
  const Control* bar = Find(kInstallProgress);
  if (bar->visible) {
    frame[2].push_back({std::string(kMargin, ' ') + ProgressBar(progressPosition_, progressMaximum_,
                                                                columns - 2 * kMargin),
                        Style::kPlain});
  }
}

void ConsoleWindow::ComposeHelp(std::vector<Row>& frame, int columns, int rows) const {
  frame.resize(std::max<std::size_t>(frame.size(), 3));
  frame[0] = TitleBar<Row>("Help", columns);
  std::vector<std::string> lines = WrapText(help_->text, columns - 2 * kMargin);
  int textRows = std::max(rows - 2, 1);
  int first = std::clamp(help_->scroll, 0, std::max(0, static_cast<int>(lines.size()) - textRows));
  for (int r = 0; r < textRows && first + r < static_cast<int>(lines.size()); ++r) {
    if (static_cast<std::size_t>(1 + r) >= frame.size()) break;
    frame[static_cast<std::size_t>(1 + r)].push_back(
        {std::string(kMargin, ' ') + lines[static_cast<std::size_t>(first + r)], Style::kPlain});
  }
  std::string hint = "Up/Down, PgUp/PgDn: scroll   Esc, Enter or q: back to the window";
  frame[static_cast<std::size_t>(std::max(rows - 1, 2))].push_back(
      {std::string(kMargin, ' ') + std::string(CutColumns(hint, columns - 2 * kMargin)), Style::kDim});
}

void ConsoleWindow::OverlayBox(std::vector<Row>& frame, const MessageBox& box, int columns, int rows) const {
  const int maxText = std::max(std::min(columns - 8, 60), 10);
  std::vector<std::string> lines = WrapText(box.text, maxText);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::string caption = (box.icon == MessageIcon::kQuestion ? "(?) " : "(!) ") + Printable(box.caption);
  const std::string okText = Printable(okLabel_), cancelText = Printable(cancelLabel_);
  const std::string ok = box.okFocused ? "[>" + okText + "<]" : "[ " + okText + " ]";
  const std::string cancel = box.okFocused ? "[ " + cancelText + " ]" : "[>" + cancelText + "<]";
  int content = std::max(Columns(caption) + 4, Columns(ok) + 3 + Columns(cancel));
  for (const std::string& l : lines) content = std::max(content, Columns(l));
  content = std::min(content, columns - 4);
  const int width = content + 4;

  std::vector<Row> boxRows;
  std::string top = "+- " + std::string(CutColumns(caption, std::max(content - 2, 0))) + " ";
  top += std::string(static_cast<std::size_t>(std::max(width - 1 - Columns(top), 0)), '-') + "+";
  boxRows.push_back({{top, Style::kBold}});
  auto body = [&](std::string text) { boxRows.push_back({{"| " + FitColumns(text, content) + " |", Style::kPlain}}); };
  body("");
  for (const std::string& l : lines) body(l);
  body("");
  int buttonsWidth = Columns(ok) + 3 + Columns(cancel);
  int left = std::max((content - buttonsWidth) / 2, 0);
  Row buttons{{"| " + std::string(static_cast<std::size_t>(left), ' '), Style::kPlain},
              {ok, box.okFocused ? Style::kReverse : Style::kPlain},
              {"   ", Style::kPlain},
              {cancel, box.okFocused ? Style::kPlain : Style::kReverse},
              {std::string(static_cast<std::size_t>(std::max(content - left - buttonsWidth, 0)), ' ') + " |",
               Style::kPlain}};
  boxRows.push_back(buttons);
  boxRows.push_back({{"+" + std::string(static_cast<std::size_t>(width - 2), '-') + "+", Style::kBold}});

  const int height = static_cast<int>(boxRows.size());
  const int top0 = std::max((rows - height) / 2, 0);
  const int left0 = std::max((columns - width) / 2, 0);
  if (frame.size() < static_cast<std::size_t>(top0 + height)) frame.resize(static_cast<std::size_t>(top0 + height));
  for (int r = 0; r < height; ++r) {
    Row& base = frame[static_cast<std::size_t>(top0 + r)];
    Row row = SliceRow(base, 0, left0);
    int have = RowColumns(row);
    if (have < left0) row.push_back({std::string(static_cast<std::size_t>(left0 - have), ' '), Style::kPlain});
    for (Segment& s : boxRows[static_cast<std::size_t>(r)]) row.push_back(s);
    for (Segment& s : SliceRow(base, left0 + width, columns)) row.push_back(s);
    base = std::move(row);
  }
}

}  // namespace ui
