// Which version of a file is installed. The method follows the extension of
// the path: ".ini" and ".txt" files carry "version=" within their first 96
// bytes, ".chm" help files a "@version@" marker in the 256 bytes from offset
// 512, and every other file is read as an executable with a version
// resource ("FileVersion" of its string table). A file that is missing,
// unreadable or without a recognisable version has version 0. Nothing here
// reports an error.
#pragma once

#include <string>
#include <string_view>

#include "engine/version_number.h"

namespace engine {

VersionNumber ProbeFileVersion(const std::string& path);
VersionNumber ProbeTextVersion(const std::string& path);
VersionNumber ProbeHelpVersion(const std::string& path);
VersionNumber ProbeResourceVersion(const std::string& path);
// ORs the parts found in `text` ("5, 0, 0, 12", "5.0.0.12 beta") into
// `number`; "," and "." separate parts, text after a part's digits is
// skipped, parts after the fourth are ignored.
VersionNumber ParseVersionText(std::u16string_view text, VersionNumber number);

}  // namespace engine
