// The help topic as text: read a page out of the compiled help file
// ("help.chm") and turn its HTML into plain, readable text. Shared by the
// front ends that show help themselves.
#pragma once

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

}  // namespace ui
