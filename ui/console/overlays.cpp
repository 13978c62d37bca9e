// What the console window draws over itself: a message box in the middle
// of the window, and the help topic as text in its place.
#include <algorithm>

#include "ui/console/console_window.h"

namespace ui {

using console::Columns;
using console::CutColumns;
using console::FitColumns;
using console::kMargin;
using console::Segment;
using console::Style;

void ConsoleWindow::ComposeHelp(std::vector<Row>& frame, int columns, int rows) const {
  frame.resize(std::max<std::size_t>(frame.size(), 3));
  frame[0] = console::TitleBar("Help", columns);
  const std::vector<std::string>& lines = helpWrap_.Lines(help_->text, help_->version, columns - 2 * kMargin);
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
  std::vector<std::string> lines = console::WrapText(box.text, maxText);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::string caption = (box.icon == MessageIcon::kQuestion ? "(?) " : "(!) ") + console::Printable(box.caption);
  const std::string okText = console::Printable(okLabel_), cancelText = console::Printable(cancelLabel_);
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
    Row row = console::SliceRow(base, 0, left0);
    int have = console::RowColumns(row);
    if (have < left0) row.push_back({std::string(static_cast<std::size_t>(left0 - have), ' '), Style::kPlain});
    for (Segment& s : boxRows[static_cast<std::size_t>(r)]) row.push_back(s);
    for (Segment& s : console::SliceRow(base, left0 + width, columns)) row.push_back(s);
    base = std::move(row);
  }
}

}  // namespace ui
