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

struct NamedReference {
  const char* name;
  char32_t code;
};

constexpr NamedReference kNamedReferences[] = {
    {"amp", U'&'},      {"lt", U'<'},       {"gt", U'>'},       {"quot", U'"'},     {"apos", U'\''},
    {"nbsp", U' '},     {"copy", 0xA9},     {"reg", 0xAE},      {"trade", 0x2122},  {"hellip", 0x2026},
    {"mdash", 0x2014},  {"ndash", 0x2013},  {"laquo", 0xAB},    {"raquo", 0xBB},    {"lsquo", 0x2018},
    {"rsquo", 0x2019},  {"ldquo", 0x201C},  {"rdquo", 0x201D},  {"bull", 0x2022},   {"middot", 0xB7},
    {"euro", 0x20AC},   {"deg", 0xB0},      {"times", 0xD7},    {"auml", 0xE4},     {"ouml", 0xF6},
    {"uuml", 0xFC},     {"Auml", 0xC4},     {"Ouml", 0xD6},     {"Uuml", 0xDC},     {"szlig", 0xDF},
    {"eacute", 0xE9},   {"egrave", 0xE8},   {"agrave", 0xE0},   {"aacute", 0xE1},   {"ccedil", 0xE7},
    {"ntilde", 0xF1},   {"oacute", 0xF3},   {"iacute", 0xED},   {"uacute", 0xFA},   {"ecirc", 0xEA},
};

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
  if (body[0] == '#') {
    bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
    std::string digits(body.substr(hex ? 2 : 1));
    if (digits.empty()) return false;
    for (char c : digits) {
      if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
        return false;
    }
    out = CharacterText(static_cast<char32_t>(std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10)));
  } else {
    const NamedReference* found = nullptr;
    for (const NamedReference& r : kNamedReferences) {
      if (body == r.name) found = &r;
    }
    if (!found) return false;
    out = CharacterText(found->code);
  }
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
