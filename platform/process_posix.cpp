#include "platform/process.h"

#include <locale.h>
#include <pwd.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <utility>

extern char** environ;

namespace platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

bool LaunchDetached(const std::string& program, const std::vector<std::string>& arguments) {
  if (program.empty()) return false;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return false;
  // A session of its own: the started program outlives us and is not hit
  // by signals sent to our terminal or process group.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  return rc == 0;
}

int OsMajorVersion() {
  // The kernel's version says nothing about per-user folders, which every
  // system we run on has: report the first Windows version that has them.
  return 5;
}

std::optional<std::string> PerUserDataFolder() {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config);
  const char* home = getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config";
  if (struct passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
    return std::string(pw->pw_dir) + "/.config";
  return std::nullopt;
}

bool HasGraphicalDisplay() {
  const char* display = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  return (display && display[0]) || (wayland && wayland[0]);
}

void InitProcessLocale() { setlocale(LC_CTYPE, ""); }

}  // namespace platform
