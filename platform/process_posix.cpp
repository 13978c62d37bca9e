#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <pwd.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

extern char** environ;

namespace platform {
namespace {

bool IsOwnPrivateFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & 0077) == 0;
}

// The folder that holds the guard's lock file: the user's runtime folder,
// or a private folder of the user's own in the temporary folder.
std::optional<std::string> GuardFolder() {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') {
    struct stat st;
    if (stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid()) return std::string(runtime);
  }
  const char* tmp = getenv("TMPDIR");
  std::string folder = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/harbinor-" + std::to_string(getuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  if (!IsOwnPrivateFolder(folder)) return std::nullopt;
  return folder;
}

// A file name made of the guard's name: blanks become "_", control
// characters and separators are dropped.
std::string LockFileName(std::string_view name) {
  std::string out;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || c == '/') continue;
    out.push_back(c == ' ' ? '_' : c);
  }
  return out + ".lock";
}

}  // namespace

InstanceGuard InstanceGuard::Acquire(std::string_view name) {
  InstanceGuard guard;
  auto folder = GuardFolder();
  if (!folder) return guard;
  std::string path = *folder + "/" + LockFileName(name);
  // The lock belongs to the open file description, so it ends with the
  // process however the process ends; O_CLOEXEC keeps it out of the
  // programs we start.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return guard;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    guard.state_ = errno == EWOULDBLOCK ? State::kHeldElsewhere : State::kUnavailable;
    close(fd);
    return guard;
  }
  guard.state_ = State::kAcquired;
  guard.handle_ = fd;
  return guard;
}

void InstanceGuard::Release() {
  if (handle_ >= 0) {
    close(static_cast<int>(handle_));
    handle_ = -1;
  }
  state_ = State::kUnavailable;
}

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
