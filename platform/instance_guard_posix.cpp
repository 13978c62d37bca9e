#include "platform/instance_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace platform {
namespace {

// A real folder (no link) of this user's own, in which nobody else may make,
// rename or delete an entry.
bool IsPrivateFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<std::string> MadePrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  if (!IsPrivateFolder(path)) return std::nullopt;
  return path;
}

// The folder that holds the guard's lock file, the same in every session of
// the user.
std::optional<std::string> GuardFolder() {
  if (const char* test = getenv("HARBINOR_TEST_GUARD_FOLDER"); test && test[0] == '/' && IsPrivateFolder(test))
    return std::string(test);
  if (auto folder = MadePrivateFolder("/tmp/harbinor-" + std::to_string(getuid()))) return folder;
  // Someone else has the name in /tmp: the user's home folder, where nobody
  // else may make anything.
  struct passwd* pw = getpwuid(getuid());
  if (!pw || !pw->pw_dir || pw->pw_dir[0] != '/' || !IsPrivateFolder(pw->pw_dir)) return std::nullopt;
  std::string home = pw->pw_dir;
  return MadePrivateFolder(home + (home.back() == '/' ? "" : "/") + ".harbinor");
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

}  // namespace platform
