#include "tests/support/x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

extern char** environ;

namespace testsupport {

std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::stringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

XServer* XServer::instance = nullptr;

void XServer::SetUp() {
  std::string xvfb = FindProgram("Xvfb");
  xdotool_ = FindProgram("xdotool");
  if (xvfb.empty() || xdotool_.empty()) {
    problem_ = "Xvfb and xdotool are needed for the window tests";
    return;
  }
  // Xvfb picks a free display itself and writes its number to the pipe
  // once it accepts clients.
  int fds[2];
  if (pipe(fds) != 0) {
    problem_ = "no pipe";
    return;
  }
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {xvfb,        "-displayfd", std::to_string(fds[1]), "-screen", "0", screen_,
                                   "-nolisten", "tcp"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid_, xvfb.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    problem_ = "Xvfb could not be started";
    return;
  }
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    struct pollfd p {
      fds[0], POLLIN, 0
    };
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[32];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    problem_ = "Xvfb did not start";
    return;
  }
  display_ = ":" + number.substr(0, number.find('\n'));
  setenv("DISPLAY", display_.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
}

void XServer::TearDown() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

testsupport::ProcessResult Xdo(const std::vector<std::string>& arguments) {
  testsupport::ProcessOptions options;
  options.arguments = arguments;
  options.timeoutMs = 10000;
  return testsupport::RunProcess(XServer::instance->xdotool(), options);
}

std::string Shot(const std::string& name, const std::string& window) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string folder = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./x");
  folder = folder.substr(0, folder.rfind('/'));
  if (const char* chosen = getenv("HARBINOR_SHOT_DIR"); chosen && *chosen) folder = chosen;
  std::string path = folder + "/" + name;
  testsupport::ProcessOptions options;
  options.arguments = {"-window", window, path};
  std::string import = FindProgram("import");
  if (import.empty()) return "";
  auto result = testsupport::RunProcess(import, options);
  return result.exitCode == 0 ? path : "";
}

int ColourCount(const std::string& imagePath) {
  std::string convert = FindProgram("convert");
  if (convert.empty()) return 0;
  testsupport::ProcessOptions options;
  options.arguments = {imagePath, "-format", "%k", "info:"};
  auto result = testsupport::RunProcess(convert, options);
  return result.exitCode == 0 ? std::atoi(result.output.c_str()) : 0;
}

}  // namespace testsupport
