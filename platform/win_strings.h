// Inside the Windows platform layer only: the conversions between the
// layer's 8-bit strings and the wide strings of the Windows API.
//
// Paths and names cross the layer as UTF-8, so that every folder a user can
// have (also one whose name the ANSI code page cannot hold) can be named; a
// path that is not valid UTF-8 (a name that came from a list or file written
// in the ANSI code page) is read in the ANSI code page instead.
#pragma once

#include <string>
#include <string_view>

namespace platform::win {

std::wstring WidePath(std::string_view path);
std::string NarrowPath(std::wstring_view path);
// Converts between wide strings and the ANSI code page.
std::wstring WideFromAnsi(std::string_view text);
std::string AnsiFromWide(std::wstring_view text);
// One argument quoted for a command line, as the C runtime splits it again.
std::wstring QuotedArgument(const std::wstring& argument);

}  // namespace platform::win
