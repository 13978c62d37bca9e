#include <cstdint>
#include <vector>

#include "base/ascii_text.h"
#include "platform/facts.h"
#include "platform/profile.h"

namespace platform {
namespace {

using base::EqualsIgnoringCase;
constexpr auto Trim = base::TrimBlanks;

struct Line {
  std::string_view content;     // without its line end
  std::string_view terminator;  // "\n", "\r\n" or empty for the last line
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    Line line;
    if (lf == std::string_view::npos) {
      line.content = text;
      text = {};
    } else {
      std::size_t end = (lf > 0 && text[lf - 1] == '\r') ? lf - 1 : lf;
      line.content = text.substr(0, end);
      line.terminator = text.substr(end, lf + 1 - end);
      text.remove_prefix(lf + 1);
    }
    lines.push_back(line);
  }
  return lines;
}

// The section name of a header line, or empty optional for other lines.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  line.remove_prefix(1);
  std::size_t close = line.find(']');
  if (close != std::string_view::npos) line = line.substr(0, close);
  return Trim(line);
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> SplitKeyLine(std::string_view line) {
  std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';') return std::nullopt;
  std::size_t eq = trimmed.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  KeyLine kl{Trim(trimmed.substr(0, eq)), Trim(trimmed.substr(eq + 1))};
  if (kl.value.size() >= 2 && (kl.value.front() == '"' || kl.value.front() == '\'') &&
      kl.value.back() == kl.value.front()) {
    kl.value = kl.value.substr(1, kl.value.size() - 2);
  }
  return kl;
}

// Line ends and other control characters in a name or value would break the
// line form; they become blanks.
std::string OneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return out;
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
  bool inSection = false;
  bool seenSection = false;
  for (const Line& line : SplitLines(text)) {
    if (auto name = SectionName(line.content)) {
      if (seenSection) break;  // only the first section of the name counts
      inSection = EqualsIgnoringCase(*name, section);
      seenSection = inSection;
      continue;
    }
    if (!inSection) continue;
    if (auto kl = SplitKeyLine(line.content); kl && EqualsIgnoringCase(kl->key, key)) return std::string(kl->value);
  }
  return std::nullopt;
}

std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value) {
  std::vector<Line> lines = SplitLines(text);
  std::string_view newline = text.find("\r\n") != std::string_view::npos ? std::string_view("\r\n")
                             : text.find('\n') != std::string_view::npos ? std::string_view("\n")
                                                                         : std::string_view(kNewLine);
  const std::string entry = OneLine(key) + "=" + OneLine(value);

  // Find the first section of the name, the key in it, and its last
  // non-blank line.
  std::optional<std::size_t> header, keyLine;
  std::size_t lastContent = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto name = SectionName(lines[i].content)) {
      if (header) break;
      if (EqualsIgnoringCase(*name, section)) {
        header = i;
        lastContent = i;
      }
      continue;
    }
    if (!header) continue;
    if (!Trim(lines[i].content).empty()) lastContent = i;
    if (auto kl = SplitKeyLine(lines[i].content); kl && !keyLine && EqualsIgnoringCase(kl->key, key)) keyLine = i;
  }

  std::string out;
  out.reserve(text.size() + entry.size() + section.size() + 8);
  // The end added to a last line that has none. A lone CR that ends the
  // text belongs to that line's value; a bare LF after it would turn the
  // pair into a line end and change the value.
  auto addedEnd = [&](const Line& l) {
    return !l.content.empty() && l.content.back() == '\r' ? std::string_view("\r\n") : newline;
  };
  auto emit = [&](const Line& l, bool needsEnd) {
    out.append(l.content);
    out.append(l.terminator.empty() && needsEnd ? addedEnd(l) : l.terminator);
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (keyLine && i == *keyLine) {
      out.append(entry);
      out.append(lines[i].terminator.empty() ? newline : lines[i].terminator);
      continue;
    }
    bool insertAfter = header && !keyLine && i == lastContent;
    emit(lines[i], insertAfter);
    if (insertAfter) {
      out.append(entry);
      out.append(newline);
    }
  }
  if (!header) {
    if (!lines.empty() && lines.back().terminator.empty()) out.append(addedEnd(lines.back()));
    out.append("[").append(OneLine(section)).append("]").append(newline);
    out.append(entry).append(newline);
  }
  return out;
}

}  // namespace platform
