#include "ui/link_finder.h"

#include <algorithm>
#include <array>

#include "base/ascii_text.h"

namespace ui {
namespace {

constexpr std::array<std::string_view, 3> kSchemes{"http://", "https://", "mailto:"};
constexpr std::string_view kWebHost = "www.";

bool IsAlnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Characters that tie a following "www." or "http://" to the word before it,
// so that "xhttp://a" or "a.www.b" hold no link.
bool JoinsWord(unsigned char c) {
  return IsAlnum(c) || c == '_' || c == '-' || c == '.' || c == '@' || c == '/' || c == ':' || c >= 0x80;
}

bool IsAddressChar(unsigned char c) {
  return c > 0x20 && c < 0x7f && std::string_view("<>\"`{}|\\^").find(static_cast<char>(c)) == std::string_view::npos;
}

std::size_t PrefixLength(std::string_view text) {
  for (std::string_view prefix : kSchemes)
    if (base::StartsWithIgnoringCase(text, prefix)) return prefix.size();
  return base::StartsWithIgnoringCase(text, kWebHost) ? kWebHost.size() : 0;
}

// The end of the address that starts at `begin`, its prefix `prefixLength`
// long.
std::size_t AddressEnd(std::string_view text, std::size_t begin, std::size_t prefixLength) {
  std::size_t end = begin;
  while (end < text.size() && IsAddressChar(static_cast<unsigned char>(text[end]))) ++end;
  while (end > begin + prefixLength) {
    char last = text[end - 1];
    if (std::string_view(".,;:!?'").find(last) != std::string_view::npos) {
      --end;
      continue;
    }
    char open = last == ')' ? '(' : last == ']' ? '[' : 0;
    if (open) {
      std::string_view inside = text.substr(begin, end - begin);
      if (std::count(inside.begin(), inside.end(), last) > std::count(inside.begin(), inside.end(), open)) {
        --end;
        continue;
      }
    }
    break;
  }
  return end;
}

}  // namespace

std::vector<LinkSpan> FindLinks(std::string_view text) {
  std::vector<LinkSpan> spans;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t prefixLength = 0;
    if (i == 0 || !JoinsWord(static_cast<unsigned char>(text[i - 1]))) prefixLength = PrefixLength(text.substr(i));
    if (prefixLength == 0) {
      ++i;
      continue;
    }
    std::size_t end = AddressEnd(text, i, prefixLength);
    if (end > i + prefixLength) {
      spans.push_back({i, end - i});
      i = end;
    } else {
      i += prefixLength;
    }
  }
  return spans;
}

std::vector<std::string> LinkTexts(std::string_view text) {
  std::vector<std::string> links;
  for (const LinkSpan& span : FindLinks(text)) {
    std::string link(text.substr(span.begin, span.length));
    if (std::find(links.begin(), links.end(), link) == links.end()) links.push_back(std::move(link));
  }
  return links;
}

std::string LinkTarget(std::string_view linkText) {
  // Only a whole link counts: the text must be exactly what FindLinks finds.
  std::vector<LinkSpan> spans = FindLinks(linkText);
  if (spans.size() != 1 || spans[0].begin != 0 || spans[0].length != linkText.size()) return std::string();
  if (base::StartsWithIgnoringCase(linkText, kWebHost)) return "http://" + std::string(linkText);
  return std::string(linkText);
}

}  // namespace ui
