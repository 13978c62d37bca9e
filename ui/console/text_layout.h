// Text in terminal cells for the console window: measuring, cutting and
// wrapping text in the locale's charset by the columns a terminal gives
// each character (two for East Asian wide ones, none for combining marks),
// never splitting a character; making hostile text safe to show; and rows
// of styled text as the screen is drawn.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ui::console {

// Terminal columns of `text`.
int Columns(std::string_view text);
// The longest start of `text` that takes at most `width` columns.
std::string_view CutColumns(std::string_view text, int width);
// Exactly `width` columns: cut, then filled with blanks.
std::string FitColumns(std::string_view text, int width);
// At most `width` columns: the text itself when it fits, otherwise its start
// and its end around "...".
std::string ShortenMiddle(std::string_view text, int width);

// Text that is safe to write to a terminal: C0 controls become blanks; C1
// controls and stray bytes 0x80..0x9F, which some terminals take as the
// start of an escape sequence, become visible escapes ("\u009b", "\x9b").
std::string Printable(std::string_view text);
// A text of the line protocol on one line: backslash, line ends and tab as
// "\\", "\n", "\r", "\t"; other C0 controls and DEL as "\xHH"; C1 controls
// as "\u00HH" (a byte of a single-byte charset as "\xHH").
std::string EscapeLine(std::string_view text);

// `text` in lines of at most `width` columns, broken at blanks where a line
// has one; line ends ("\n", "\r\n", "\r") start new lines. Takes time in
// proportion to the text's length.
std::vector<std::string> WrapText(std::string_view text, int width);

// The wrapped lines of one text, kept until the text (its version) or the
// width changes, so that a redraw does not wrap a long text again.
class WrapCache {
 public:
  const std::vector<std::string>& Lines(std::string_view text, std::uint64_t version, int width);

 private:
  bool valid_ = false;
  std::uint64_t version_ = 0;
  int width_ = 0;
  std::vector<std::string> lines_;
};

// A row of the screen: pieces of text in their styles.
enum class Style { kPlain, kBold, kReverse, kDim };
struct Segment {
  std::string text;
  Style style = Style::kPlain;
};
using Row = std::vector<Segment>;

// The blanks at the left and right of the window's contents.
inline constexpr int kMargin = 2;

// A title bar: `title` centred in reverse video across `columns`.
Row TitleBar(std::string_view title, int columns);
int RowColumns(const Row& row);
// The row's text without styles.
std::string RowText(const Row& row);
// The row with the terminal's attribute sequences.
std::string RowStyled(const Row& row);
// The columns [from, from + count) of a row, styles kept; half of a wide
// character at either edge becomes a blank.
Row SliceRow(const Row& row, int from, int count);

}  // namespace ui::console
