// Drawing the console window on a terminal: the frame of rows composed from
// the controls, and the rows that changed written in one go.
#include <algorithm>

#include "platform/terminal.h"
#include "ui/console/console_window.h"

namespace ui {
namespace {

using console::Columns;
using console::CutColumns;
using console::FitColumns;
using console::kMargin;
using console::Printable;
using console::Segment;
using console::Style;

constexpr int kSizeCheckMs = 200;
// The update window needs its fixed rows and one row of message text.
constexpr int kFixedRows = 11;
constexpr int kMinRows = kFixedRows + 1;
constexpr int kMinColumns = 20;

const char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[2J";
const char kLeaveScreen[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

bool SameSize(Size a, Size b) { return a.width == b.width && a.height == b.height; }

std::string ProgressBar(std::int32_t position, std::int32_t maximum, int width) {
  int inner = std::max(width - 2, 1);
  int filled = maximum > 0 ? static_cast<int>(static_cast<std::int64_t>(position) * inner / maximum) : 0;
  filled = std::clamp(filled, 0, inner);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(inner - filled), '-') + "]";
}

// As many of `pieces` as fit in `width` columns, two blanks apart.
std::string KeyHints(std::initializer_list<const char*> pieces, int width) {
  std::string hint;
  for (const char* piece : pieces) {
    std::string longer = hint.empty() ? std::string(piece) : hint + "  " + piece;
    if (Columns(longer) > width) break;
    hint = longer;
  }
  return hint;
}

}  // namespace

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
    rows.push_back(console::RowStyled(frame[i]));
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
    std::string line = console::RowText(frame[i]);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (i > 0) out.push_back('\n');
    out += line;
  }
  return out;
}

std::vector<ConsoleWindow::Row> ConsoleWindow::Compose(int columns, int rows) const {
  rows = std::max(rows, 1);
  std::vector<Row> frame(static_cast<std::size_t>(rows));
  const bool update = options_.which == WindowTemplate::kUpdateWindow;
  if (update && (visible_ || help_ || !boxes_.empty()) && (rows < kMinRows || columns < kMinColumns)) {
    // Rather than a window without its buttons: what the user can do.
    std::string need = rows < kMinRows ? "at least " + std::to_string(kMinRows) + " rows high"
                                       : "at least " + std::to_string(kMinColumns) + " columns wide";
    frame[0].push_back({std::string(CutColumns("Terminal too small: make it " + need, std::max(columns, 1))),
                        Style::kBold});
    return frame;
  }
  columns = std::max(columns, kMinColumns);
  if (help_) {
    ComposeHelp(frame, columns, rows);
  } else if (visible_) {
    if (update) {
      ComposeUpdateWindow(frame, columns, rows);
    } else {
      ComposeInstallWindow(frame, columns);
    }
  }
  if (!boxes_.empty()) OverlayBox(frame, *boxes_.back(), columns, rows);
  frame.resize(static_cast<std::size_t>(rows));
  return frame;
}

const std::vector<std::string>& ConsoleWindow::MessageLines(int width) const {
  const Control* message = Find(kMessageArea);
  return messageWrap_.Lines(message->text, message->version, width);
}

void ConsoleWindow::ComposeUpdateWindow(std::vector<Row>& frame, int columns, int rows) const {
  const int inner = columns - 2 * kMargin;
  const std::string margin(kMargin, ' ');
  const int messageRows = std::max(1, rows - kFixedRows);
  frame.resize(std::max<std::size_t>(frame.size(), static_cast<std::size_t>(messageRows + kFixedRows)));
  auto put = [&](int row, std::string text, Style style = Style::kPlain) {
    frame[static_cast<std::size_t>(row)].push_back({std::move(text), style});
  };

  frame[0] = console::TitleBar(title_, columns);

  const Control* headline = Find(kHeadline);
  if (headline->visible) {
    put(2, margin);
    put(2, std::string(CutColumns(Printable(headline->text), inner)), Style::kBold);
  }

  // The message area shows its text from the top; the marks on its border
  // tell that there is more above or below.
  const Control* message = Find(kMessageArea);
  const int top = 4;
  if (message->visible) {
    const int textWidth = std::max(inner - 4, 1);
    const std::vector<std::string>& lines = MessageLines(textWidth);
    int total = static_cast<int>(lines.size());
    while (total > 0 && lines[static_cast<std::size_t>(total - 1)].empty()) --total;
    messageMaxScroll_ = std::max(0, total - messageRows);
    int first = std::clamp(messageScroll_, 0, messageMaxScroll_);
    char fill = focus_ == kMessageArea ? '=' : '-';
    auto border = [&](bool more, const char* mark) {
      std::string line = "+" + std::string(static_cast<std::size_t>(std::max(inner - 2, 0)), fill) + "+";
      if (more && inner > 8) line.replace(static_cast<std::size_t>(inner - 6), 4, mark);
      return line;
    };
    put(top, margin + border(first > 0, " ^^ "));
    for (int r = 0; r < messageRows; ++r) {
      int index = first + r;
      std::string_view text = index < total ? std::string_view(lines[static_cast<std::size_t>(index)]) : "";
      put(top + 1 + r, margin + "| " + FitColumns(text, textWidth) + " |");
    }
    put(top + 1 + messageRows, margin + border(first + messageRows < total, " vv "));
  } else {
    messageMaxScroll_ = 0;
  }

  const int statusRow = top + messageRows + 2;
  const Control* status = Find(kStatusLine);
  const Control* size = Find(kSizeDisplay);
  std::string sizeText = size->visible ? Printable(size->text) : std::string();
  std::string statusText = status->visible ? Printable(status->text) : std::string();
  int sizeWidth = std::min(Columns(sizeText), inner);
  int besideWidth = std::max(inner - sizeWidth - (sizeWidth > 0 ? 2 : 0), 0);
  // When the status text does not fit beside the sizes, it has the whole
  // row and the sizes go to the right of the progress bar.
  bool sizesBelow = sizeWidth > 0 && Columns(statusText) > besideWidth;
  put(statusRow, margin + FitColumns(statusText, sizesBelow ? inner : besideWidth));
  if (sizeWidth > 0 && !sizesBelow) put(statusRow, "  " + std::string(CutColumns(sizeText, sizeWidth)));

  const Control* bar = Find(kProgressBar);
  if (bar->visible)
    put(statusRow + 1, margin + ProgressBar(progressPosition_, progressMaximum_, sizesBelow ? besideWidth : inner));
  else if (sizesBelow)
    put(statusRow + 1, margin + std::string(static_cast<std::size_t>(besideWidth), ' '));
  if (sizesBelow) put(statusRow + 1, "  " + std::string(CutColumns(sizeText, sizeWidth)));

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
  int buttonsWidth = console::RowColumns(buttons);
  int pad = std::max(kMargin + inner - buttonsWidth, 0);
  Row& buttonRow = frame[static_cast<std::size_t>(statusRow + 3)];
  buttonRow.push_back({std::string(static_cast<std::size_t>(pad), ' '), Style::kPlain});
  for (Segment& s : buttons) buttonRow.push_back(s);
  if (console::RowColumns(buttonRow) > columns) buttonRow = console::SliceRow(buttonRow, 0, columns);

  const int hintRow = statusRow + 4;
  if (!notice_.empty()) {
    // An address to open by hand is shown whole, wrapped over the rows
    // above the hint row where it needs them, until the next key.
    std::vector<std::string> lines = console::WrapText(notice_, inner);
    int from = std::max(hintRow + 1 - static_cast<int>(lines.size()), 0);
    for (int r = from; r <= hintRow; ++r) {
      frame[static_cast<std::size_t>(r)] =
          Row{{margin + FitColumns(lines[static_cast<std::size_t>(r - from)], inner), Style::kBold}};
    }
    return;
  }
  std::string hint;
  std::string link = focus_ == kMessageArea ? SelectedLink() : std::string();
  if (!link.empty()) {
    std::string more = MessageLinks().size() > 1 ? "   Space: next link" : "";
    int room = inner - Columns("Enter: open ") - Columns(more);
    if (room < 12) more.clear(), room = inner - Columns("Enter: open ");
    hint = "Enter: open " + console::ShortenMiddle(Printable(link), room) + more;
  } else if (runKeys_) {
    // During a run the window logic takes Tab, the arrows and Enter; Esc
    // and F1 do nothing then.
    hint = KeyHints({"Tab/arrows: move", "Enter: press", "PgUp/PgDn: scroll"}, inner);
  } else {
    hint = KeyHints({"Tab/arrows: move", "Enter: press", "Esc: close", "F1: help", "PgUp/PgDn: scroll"}, inner);
  }
  put(hintRow, margin + std::string(CutColumns(hint, inner)), Style::kDim);
}

void ConsoleWindow::ComposeInstallWindow(std::vector<Row>& frame, int columns) const {
  frame.resize(std::max<std::size_t>(frame.size(), 3));
  frame[0] = console::TitleBar(title_, columns);
  const Control* bar = Find(kInstallProgress);
  if (bar->visible) {
    frame[2].push_back({std::string(kMargin, ' ') + ProgressBar(progressPosition_, progressMaximum_,
                                                                columns - 2 * kMargin),
                        Style::kPlain});
  }
}

}  // namespace ui
