// Processes: the single-instance guard (instance_guard.h), launching the
// main application, the operating system's version, the per-user data
// folder, and the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/instance_guard.h"

namespace platform {

// The program's arguments after its own name. On Windows they are taken
// from the wide command line and given as UTF-8, like paths, so that a path
// no ANSI code page holds arrives whole; elsewhere they are `argv` as it is.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Starts `program` with `arguments` as a detached process; each argument is
// passed as it stands (no splitting at blanks, no shell). Returns whether the
// process was started.
bool LaunchDetached(const std::string& program, const std::vector<std::string>& arguments);

// The major version of Windows (below 5: a system without per-user
// application data). Other systems have per-user folders and always report
// a version of 5 or above.
int OsMajorVersion();

// The per-user folder for application data (local application data on
// Windows, $XDG_CONFIG_HOME or ~/.config on Linux); empty when unknown.
std::optional<std::string> PerUserDataFolder();

// Whether a graphical display is available to open windows on.
bool HasGraphicalDisplay();

// Selects the user's locale for text conversion and makes the standard
// streams pass bytes unchanged; called once at start-up.
void InitProcessLocale();

}  // namespace platform
