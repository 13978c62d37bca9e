#include "ui/help_text.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>

#include "base/ascii_text.h"
#include "platform/text.h"
#include "ui/link_finder.h"

namespace ui {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = base::AsciiLower(c);
  return out;
}

// Windows-1252's characters 0x80 to 0x9F, where Latin-1 has control codes.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// HTML 4's Latin-1 entities, U+00A0 to U+00FF in order.
constexpr std::string_view kLatin1Entities[96] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",
    "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",
    "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12",
    "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil",
    "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde",
    "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",
    "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",
    "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",
    "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

// The other named characters that help pages written on Windows use: the
// markup ones, the typographic ones of Windows-1252 and a few more of HTML 4.
struct NamedCharacter {
  std::string_view name;
  std::uint32_t code;
};
constexpr NamedCharacter kOtherEntities[] = {
    {"amp", 0x26},      {"lt", 0x3C},       {"gt", 0x3E},       {"quot", 0x22},
    {"apos", 0x27},     {"OElig", 0x152},   {"oelig", 0x153},   {"Scaron", 0x160},  {"scaron", 0x161},
    {"Yuml", 0x178},    {"fnof", 0x192},    {"circ", 0x2C6},    {"tilde", 0x2DC},   {"ensp", 0x2002},
    {"emsp", 0x2003},   {"thinsp", 0x2009}, {"ndash", 0x2013},  {"mdash", 0x2014},  {"lsquo", 0x2018},
    {"rsquo", 0x2019},  {"sbquo", 0x201A},  {"ldquo", 0x201C},  {"rdquo", 0x201D},  {"bdquo", 0x201E},
    {"dagger", 0x2020}, {"Dagger", 0x2021}, {"bull", 0x2022},   {"hellip", 0x2026}, {"permil", 0x2030},
    {"prime", 0x2032},  {"lsaquo", 0x2039}, {"rsaquo", 0x203A}, {"euro", 0x20AC},   {"trade", 0x2122},
    {"larr", 0x2190},   {"uarr", 0x2191},   {"rarr", 0x2192},   {"darr", 0x2193},   {"harr", 0x2194},
    {"minus", 0x2212},  {"le", 0x2264},     {"ge", 0x2265},     {"ne", 0x2260},     {"infin", 0x221E}};

// The character a reference stands for, in the locale's charset.
std::string CharacterText(char32_t code) {
  if (code == 0 || code > 0x10FFFF) return "?";
  if (code < 0x80) return std::string(1, static_cast<char>(code));
  std::u16string units;
  if (code < 0x10000) {
    units.push_back(static_cast<char16_t>(code));
  } else {
    code -= 0x10000;
    units.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    units.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  }
  return platform::Utf16ToAnsi(units);
}

// Decodes the reference that starts at html[i] ("&..."); on success
// advances `i` past it.
bool DecodeReference(std::string_view html, std::size_t& i, std::string& out) {
  std::size_t semicolon = html.find(';', i + 1);
  if (semicolon == std::string_view::npos || semicolon - i > 12 || semicolon == i + 1) return false;
  std::string_view body = html.substr(i + 1, semicolon - i - 1);
  std::uint32_t code = ReferencedCharacter(body);
  if (code == 0) return false;
  // A no-break space is a blank on a terminal.
  out = code == 0xA0 ? std::string(" ") : CharacterText(code);
  i = semicolon + 1;
  return true;
}

// Collects text with folded blanks and pending line breaks, so that tags
// that each ask for a break give one break, not a stack of them.
class TextBuilder {
 public:
  void Text(std::string_view text, bool preformatted) {
    for (char c : text) {
      bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
      if (preformatted) {
        if (c == '\r') continue;
        if (c == '\n') {
          FlushBreak();
          out_.push_back('\n');
          continue;
        }
        Put(c);
        continue;
      }
      if (blank) {
        pendingSpace_ = !out_.empty() && out_.back() != '\n';
        continue;
      }
      Put(c);
    }
  }
  // A character that stays as it is, such as a decoded no-break space.
  void Literal(std::string_view text) {
    for (char c : text) Put(c);
  }
  // One more line end: two <br> in a row leave a blank line.
  void LineBreak() {
    pendingBreak_ = std::min(2, pendingBreak_ + 1);
    pendingSpace_ = false;
  }
  // 1: start a new line; 2: leave a blank line.
  void Break(int lines) {
    pendingBreak_ = std::max(pendingBreak_, lines);
    pendingSpace_ = false;
  }
  // Where the text written so far ends; Since(mark) is what came after.
  std::size_t Mark() const { return out_.size(); }
  std::string_view Since(std::size_t mark) const { return std::string_view(out_).substr(std::min(mark, out_.size())); }
  std::string Finish() {
    while (!out_.empty() && (out_.back() == '\n' || out_.back() == ' ')) out_.pop_back();
    return out_;
  }

 private:
  void FlushBreak() {
    if (pendingBreak_ > 0 && !out_.empty()) {
      int have = 0;
      for (auto it = out_.rbegin(); it != out_.rend() && *it == '\n' && have < 2; ++it) ++have;
      for (int i = have; i < pendingBreak_; ++i) out_.push_back('\n');
    }
    pendingBreak_ = 0;
  }
  void Put(char c) {
    FlushBreak();
    if (pendingSpace_ && !out_.empty() && out_.back() != '\n') out_.push_back(' ');
    pendingSpace_ = false;
    out_.push_back(c);
  }

  std::string out_;
  int pendingBreak_ = 0;
  bool pendingSpace_ = false;
};

// The value of attribute `name` (lower case) in the inside of a tag, with
// its character references decoded; empty when it is not there.
std::string Attribute(std::string_view tag, std::string_view name) {
  std::size_t i = 0;
  while (i < tag.size()) {
    while (i < tag.size() && !std::isalpha(static_cast<unsigned char>(tag[i]))) {
      if (tag[i] == '"' || tag[i] == '\'') {  // a value of another attribute
        std::size_t close = tag.find(tag[i], i + 1);
        i = close == std::string_view::npos ? tag.size() : close;
      }
      ++i;
    }
    std::size_t start = i;
    while (i < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[i])) || tag[i] == '-')) ++i;
    std::string key = Lower(tag.substr(start, i - start));
    while (i < tag.size() && tag[i] == ' ') ++i;
    if (i >= tag.size() || tag[i] != '=') continue;
    ++i;
    while (i < tag.size() && tag[i] == ' ') ++i;
    std::string_view value;
    if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
      std::size_t close = tag.find(tag[i], i + 1);
      if (close == std::string_view::npos) close = tag.size();
      value = tag.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      std::size_t end = i;
      while (end < tag.size() && tag[end] != ' ' && tag[end] != '\t' && tag[end] != '>') ++end;
      value = tag.substr(i, end - i);
      i = end;
    }
    if (key != name) continue;
    std::string decoded;
    for (std::size_t j = 0; j < value.size();) {
      std::string piece;
      if (value[j] == '&' && DecodeReference(value, j, piece)) {
        decoded += piece;
      } else {
        decoded.push_back(value[j++]);
      }
    }
    return decoded;
  }
  return std::string();
}

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (name == n) return true;
  }
  return false;
}

}  // namespace

char16_t Windows1252Character(unsigned char byte) {
  return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : static_cast<char16_t>(byte);
}

std::uint32_t ReferencedCharacter(std::string_view name) {
  if (name.size() > 1 && name[0] == '#') {
    bool hex = name[1] == 'x' || name[1] == 'X';
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return 0;
    std::uint32_t value = 0;
    for (char c : digits) {
      char lower = base::AsciiLower(c);
      int digit = c >= '0' && c <= '9' ? c - '0' : hex && lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
      if (digit < 0) return 0;
      value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
    }
    // As browsers read them: 128 to 159 are Windows-1252's characters.
    if (value >= 0x80 && value < 0xA0) value = Windows1252Character(static_cast<unsigned char>(value));
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return value;
  }
  for (std::size_t k = 0; k < std::size(kLatin1Entities); ++k)
    if (kLatin1Entities[k] == name) return static_cast<std::uint32_t>(0xA0 + k);
  for (const NamedCharacter& entity : kOtherEntities)
    if (entity.name == name) return entity.code;
  return 0;
}

std::string HtmlToText(std::string_view html) {
  TextBuilder text;
  std::string skipUntil;  // the closing tag that ends left-out content
  int preDepth = 0;
  // An open web or mail link: its address and where its text starts. Its
  // address follows its text, as "text <address>", unless the text is the
  // address; links to topics of the help file need none.
  std::string linkAddress;
  std::size_t linkMark = 0;
  std::size_t i = 0;
  while (i < html.size()) {
    char c = html[i];
    if (c == '<') {
      if (html.substr(i, 4) == "<!--") {
        std::size_t end = html.find("-->", i + 4);
        i = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      std::size_t end = i + 1;
      char quote = 0;
      while (end < html.size() && (quote || html[end] != '>')) {
        if (quote && html[end] == quote) {
          quote = 0;
        } else if (!quote && (html[end] == '"' || html[end] == '\'')) {
          quote = html[end];
        }
        ++end;
      }
      std::string_view tag = html.substr(i + 1, end - i - 1);
      i = end < html.size() ? end + 1 : html.size();
      bool closing = !tag.empty() && tag[0] == '/';
      if (closing) tag.remove_prefix(1);
      std::size_t nameEnd = 0;
      while (nameEnd < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[nameEnd])))) ++nameEnd;
      std::string name = Lower(tag.substr(0, nameEnd));
      if (name.empty()) continue;  // <!DOCTYPE>, <?xml?> and the like
      if (!skipUntil.empty()) {
        if (closing && name == skipUntil) skipUntil.clear();
        continue;
      }
      if (!closing && IsOneOf(name, {"head", "script", "style", "title"})) {
        if (tag.empty() || tag.back() != '/') skipUntil = name;
        continue;
      }
      if (name == "a") {
        if (!closing) {
          std::string href = Attribute(tag.substr(nameEnd), "href");
          linkAddress = LinkTarget(href).empty() ? std::string() : href;
          linkMark = text.Mark();
        } else if (!linkAddress.empty()) {
          std::string_view shown = text.Since(linkMark);
          while (!shown.empty() && (shown.front() == ' ' || shown.front() == '\n')) shown.remove_prefix(1);
          while (!shown.empty() && (shown.back() == ' ' || shown.back() == '\n')) shown.remove_suffix(1);
          if (shown != linkAddress && LinkTarget(shown) != LinkTarget(linkAddress)) {
            text.Text(" ", false);
            text.Literal("<" + linkAddress + ">");
          }
          linkAddress.clear();
        }
      } else if (name == "pre") {
        preDepth = closing ? std::max(0, preDepth - 1) : preDepth + 1;
        text.Break(2);
      } else if (name == "br") {
        if (!closing) text.LineBreak();
      } else if (IsOneOf(name, {"p", "h1", "h2", "h3", "h4", "h5", "h6", "table", "ul", "ol", "dl", "blockquote",
                                "hr", "center"})) {
        text.Break(2);
      } else if (IsOneOf(name, {"div", "tr", "dt", "dd", "caption"})) {
        text.Break(1);
      } else if (name == "li") {
        text.Break(1);
        if (!closing) text.Literal("- ");
      } else if (IsOneOf(name, {"td", "th"}) && !closing) {
        text.Text(" ", false);
      }
      continue;
    }
    std::size_t next = html.find_first_of("<&", i + 1);
    if (next == std::string_view::npos) next = html.size();
    if (!skipUntil.empty()) {
      i = c == '&' ? i + 1 : next;
      continue;
    }
    if (c == '&') {
      std::string decoded;
      if (DecodeReference(html, i, decoded)) {
        if (decoded == " " || preDepth > 0) {
          text.Literal(decoded);
        } else {
          text.Text(decoded, false);
        }
      } else {
        text.Text("&", preDepth > 0);
        ++i;
      }
      continue;
    }
    text.Text(html.substr(i, next - i), preDepth > 0);
    i = next;
  }
  return text.Finish();
}

}  // namespace ui
