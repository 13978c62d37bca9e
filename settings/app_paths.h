// Paths derived from the running program's own file: the application folder
// (where the main application, its language files, the help file and the
// staging folder live) and the name of the parked copy of the updater.
#pragma once

#include <string>
#include <string_view>

namespace settings {

// The folder part of `path` up to and including its last separator; empty
// when there is none.
std::string FolderOf(std::string_view path);
// The part of `path` after its last separator.
std::string_view FileNameOf(std::string_view path);
// The application folder, ending with a separator: the folder of the
// running executable.
const std::string& ApplicationFolder();
// The name a replaced copy of the program at `programPath` is parked under:
// the extension of the file name (not of a folder) becomes ".old", and a
// file name without extension gets ".old" appended.
std::string ParkedCopyPath(std::string_view programPath);

}  // namespace settings
