#include "platform/shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "platform/process.h"

extern char** environ;

namespace platform {
namespace {

// Handlers we started and have not yet waited for; reaped on the next call
// so that they do not linger as zombies.
std::mutex g_childrenMutex;
std::vector<pid_t> g_children;

void ReapFinishedHandlers() {
  std::lock_guard<std::mutex> lock(g_childrenMutex);
  std::erase_if(g_children, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

}  // namespace

bool OpenHelpTopic(const std::string&, const std::string&) { return false; }

bool OpenUrl(std::string_view link) {
  ReapFinishedHandlers();
  if (!HasGraphicalDisplay()) return false;
  auto address = WebAddressOfLink(link);
  if (!address) return false;

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  // The handler's chatter must not land in our terminal window.
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  char program[] = "xdg-open";
  char* argv[] = {program, address->data(), nullptr};
  pid_t pid;
  int rc = posix_spawnp(&pid, program, &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  std::lock_guard<std::mutex> lock(g_childrenMutex);
  g_children.push_back(pid);
  return true;
}

}  // namespace platform
