#include "ui/console/text_layout.h"

#include <algorithm>

#include "platform/text.h"

namespace ui::console {
namespace {

const char kHex[] = "0123456789abcdef";

// The character at `text[at]`; ASCII without asking the C library.
platform::AnsiChar At(std::string_view text, std::size_t at) {
  unsigned char u = static_cast<unsigned char>(text[at]);
  if (u < 0x80) {
    platform::AnsiChar c;
    c.code = u;
    c.control = u < 0x20 || u == 0x7f;
    c.cells = c.control ? 0 : 1;
    return c;
  }
  return platform::InspectAnsiChar(text.data() + at, text.size() - at);
}

// A C1 control or a stray byte of that range: some terminals start an
// escape sequence with it (0x9B is CSI, 0x9D OSC).
bool IsHighControl(const platform::AnsiChar& c) {
  return (c.control && c.code >= 0x80) || (!c.valid && c.code >= 0x80 && c.code < 0xa0);
}

void AppendHighEscape(std::string& out, const platform::AnsiChar& c) {
  bool multiByte = c.valid && c.length > 1;
  out += multiByte ? "\\u00" : "\\x";
  out.push_back(kHex[(c.code >> 4) & 15]);
  out.push_back(kHex[c.code & 15]);
}

void Wrap(std::string_view p, int width, std::vector<std::string>& lines) {
  std::size_t before = lines.size();
  auto emit = [&](std::size_t from, std::size_t to) {
    while (to > from && p[to - 1] == ' ') --to;
    lines.emplace_back(p.substr(from, to - from));
  };
  std::size_t start = 0;
  int column = 0;
  // The last blank of the current line, where it may be broken; the line
  // after the break starts behind it, `afterBlank` columns into this one.
  std::size_t blank = std::string_view::npos;
  int afterBlank = 0;
  bool skipBlanks = false;  // blanks at the start of a continued line go
  for (std::size_t i = 0; i < p.size();) {
    if (p[i] == ' ') {
      if (skipBlanks) {
        start = ++i;
        continue;
      }
      if (column + 1 > width) {
        emit(start, i);
        start = ++i;
        column = 0;
        blank = std::string_view::npos;
        skipBlanks = true;
        continue;
      }
      blank = i;
      afterBlank = ++column;
      ++i;
      continue;
    }
    skipBlanks = false;
    platform::AnsiChar c = At(p, i);
    while (column + c.cells > width && i > start) {
      if (blank != std::string_view::npos && blank > start) {
        emit(start, blank);
        start = blank + 1;
        column -= afterBlank;
      } else {
        emit(start, i);
        start = i;
        column = 0;
      }
      blank = std::string_view::npos;
    }
    column += c.cells;
    i += c.length;
  }
  if (start < p.size() || lines.size() == before) emit(start, p.size());
}

}  // namespace

int Columns(std::string_view text) {
  int n = 0;
  for (std::size_t i = 0; i < text.size();) {
    platform::AnsiChar c = At(text, i);
    n += c.cells;
    i += c.length;
  }
  return n;
}

std::string_view CutColumns(std::string_view text, int width) {
  int n = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    platform::AnsiChar c = At(text, i);
    if (n + c.cells > width) break;
    n += c.cells;
    i += c.length;
  }
  return text.substr(0, i);
}

std::string FitColumns(std::string_view text, int width) {
  std::string out(CutColumns(text, width));
  int have = Columns(out);
  if (have < width) out.append(static_cast<std::size_t>(width - have), ' ');
  return out;
}

std::string ShortenMiddle(std::string_view text, int width) {
  int total = Columns(text);
  if (total <= width) return std::string(text);
  if (width < 5) return std::string(CutColumns(text, std::max(width, 0)));
  const int tail = (width - 3) / 2;
  const int head = width - 3 - tail;
  // The end: the shortest piece from the back that holds `tail` columns.
  std::size_t from = text.size();
  int columns = 0;
  for (std::size_t i = 0; i < text.size();) {
    platform::AnsiChar c = At(text, i);
    if (total - columns <= tail) {
      from = i;
      break;
    }
    columns += c.cells;
    i += c.length;
  }
  return std::string(CutColumns(text, head)) + "..." + std::string(text.substr(from));
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    platform::AnsiChar c = At(text, i);
    if (IsHighControl(c)) {
      AppendHighEscape(out, c);
    } else if (c.control) {
      out.push_back(' ');
    } else {
      out.append(text, i, c.length);
    }
    i += c.length;
  }
  return out;
}

std::string EscapeLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    platform::AnsiChar c = At(text, i);
    switch (c.code) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (IsHighControl(c)) {
          AppendHighEscape(out, c);
        } else if (c.control) {
          out += "\\x";
          out.push_back(kHex[(c.code >> 4) & 15]);
          out.push_back(kHex[c.code & 15]);
        } else {
          out.append(text, i, c.length);
        }
    }
    i += c.length;
  }
  return out;
}

std::vector<std::string> WrapText(std::string_view text, int width) {
  std::vector<std::string> lines;
  width = std::max(width, 1);
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || text[i] == '\r') {
      Wrap(Printable(text.substr(start, i - start)), width, lines);
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < text.size()) Wrap(Printable(text.substr(start)), width, lines);
  return lines;
}

const std::vector<std::string>& WrapCache::Lines(std::string_view text, std::uint64_t version, int width) {
  if (!valid_ || version != version_ || width != width_) {
    lines_ = WrapText(text, width);
    valid_ = true;
    version_ = version;
    width_ = width;
  }
  return lines_;
}

Row TitleBar(std::string_view title, int columns) {
  std::string text = Printable(title);
  int left = std::max(0, (columns - Columns(text)) / 2);
  return Row{{FitColumns(std::string(static_cast<std::size_t>(left), ' ') + text, columns), Style::kReverse}};
}

int RowColumns(const Row& row) {
  int n = 0;
  for (const Segment& s : row) n += Columns(s.text);
  return n;
}

std::string RowText(const Row& row) {
  std::string out;
  for (const Segment& s : row) out += s.text;
  return out;
}

std::string RowStyled(const Row& row) {
  std::string out;
  for (const Segment& s : row) {
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

Row SliceRow(const Row& row, int from, int count) {
  Row out;
  const int end = from + count;
  int column = 0;
  for (const Segment& s : row) {
    std::string piece;
    for (std::size_t i = 0; i < s.text.size();) {
      platform::AnsiChar c = At(s.text, i);
      int left = column, right = column + c.cells;
      if (c.cells == 0) {
        // A combining mark goes with the character before it.
        if (left > from && left <= end) piece.append(s.text, i, c.length);
      } else if (left >= from && right <= end) {
        piece.append(s.text, i, c.length);
      } else if (right > from && left < end) {
        piece.append(static_cast<std::size_t>(std::min(right, end) - std::max(left, from)), ' ');
      }
      column = right;
      i += c.length;
    }
    if (!piece.empty()) out.push_back({std::move(piece), s.style});
  }
  return out;
}

}  // namespace ui::console
