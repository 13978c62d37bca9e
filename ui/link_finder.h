// The links of the message area, found the same way by every front end:
// what looks like a link, where it ends, and what opening it opens.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// A link found in a text, as byte offsets.
struct LinkSpan {
  std::size_t begin = 0;
  std::size_t length = 0;
};

// The addresses in `text` that the window opens: those starting with
// "http://", "https://", "mailto:" or "www." (in any letter case) at the
// start of a word, with something after the prefix. An address ends at a
// blank, a control character, a non-ASCII byte or one of < > " ` { } | \ ^;
// as a browser's address detection does, sentence punctuation at its end
// (". , ; : ! ? '") and closing brackets without their opening one inside
// the address are not part of it.
std::vector<LinkSpan> FindLinks(std::string_view text);

// The link texts of FindLinks, each once, in order.
std::vector<std::string> LinkTexts(std::string_view text);

// The address to open for a link's text: the text itself for web and mail
// addresses, "http://" and the text for one that starts with "www.";
// empty for anything the window does not open.
std::string LinkTarget(std::string_view linkText);

}  // namespace ui
