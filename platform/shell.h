// The desktop's shell: opening a web or mail link with the user's browser
// or mail program, and a help topic with the system's help viewer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The address to hand to the desktop for a link as a text shows it:
// "www.example.com/x" becomes "http://www.example.com/x"; http, https, ftp
// and mailto links stay as they are. Anything else (a local file, another
// program's scheme, blanks or control characters inside) gives nothing, so
// text that came from the network never names a program or file to run.
std::optional<std::string> WebAddressOfLink(std::string_view link);

// Opens `topic` ("/htm/chap00-2.htm") of the compiled help file at
// `chmPath` in the system's help viewer. False where the system has none
// (Linux: the front ends show the topic themselves) or the file is missing.
bool OpenHelpTopic(const std::string& chmPath, const std::string& topic);

// Opens a web or mail link with the desktop's handler, detached from us.
// False when there is no graphical display, when the link is no web or mail
// address, or when the handler cannot be started.
bool OpenUrl(std::string_view link);

}  // namespace platform
