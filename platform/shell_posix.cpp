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

constexpr std::size_t kMaxLinkLength = 2048;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Handlers we started and have not yet waited for; reaped on the next call
// so that they do not linger as zombies.
std::mutex g_childrenMutex;
std::vector<pid_t> g_children;

void ReapFinishedHandlers() {
  std::lock_guard<std::mutex> lock(g_childrenMutex);
  std::erase_if(g_children, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

}  // namespace

std::optional<std::string> WebAddressOfLink(std::string_view link) {
  if (link.empty() || link.size() > kMaxLinkLength) return std::nullopt;
  for (char c : link) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return std::nullopt;
  }
  for (std::string_view scheme : {"http://", "https://", "ftp://", "mailto:"}) {
    if (StartsWithNoCase(link, scheme) && link.size() > scheme.size()) return std::string(link);
  }
  if (StartsWithNoCase(link, "www.") && link.size() > 4) return "http://" + std::string(link);
  return std::nullopt;
}

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
