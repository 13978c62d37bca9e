// The help topic as text: read a page out of the compiled help file
// ("help.chm") and turn its HTML into plain, readable text. Shared by the
// front ends that show help themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ui {

// The bytes of `topic` ("/htm/chap00-2.htm"; the leading "/" may be left
// out, letter case does not matter) inside the compiled help file at
// `chmPath`. Empty when the file cannot be opened, the topic is not in it,
// or the topic is larger than kMaxHelpTopicBytes; always empty on Windows,
// where the system's help viewer shows the topic instead.
inline constexpr std::size_t kMaxHelpTopicBytes = 4 * 1024 * 1024;
std::optional<std::string> ReadHelpTopic(const std::string& chmPath, const std::string& topic);

// Readable text of an HTML page: tags dropped; paragraphs, headings, lists
// and tables become line breaks and blank lines (list items start with
// "- "); runs of blanks fold into one except inside <pre>; the usual
// character references are decoded; what is in <head>, <script> and <style>
// is left out. Lines are separated by "\n", without blanks at either end of
// the text.
std::string HtmlToText(std::string_view html);

// The character an HTML character reference names, given without its "&"
// and ";": "mdash", "#8212" or "#x2014"; the HTML 4 names of Latin-1 and
// the typographic ones help pages use. Numbers 128 to 159 are read as
// Windows-1252's characters, as browsers do. 0 when it names none.
std::uint32_t ReferencedCharacter(std::string_view name);
// The character of a Windows-1252 byte (Latin-1's, except 0x80 to 0x9F).
char16_t Windows1252Character(unsigned char byte);

}  // namespace ui
