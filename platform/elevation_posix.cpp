#include "platform/elevation.h"

#include <errno.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

extern char** environ;

namespace platform {
namespace {

// pkexec's own exit codes: the user dismissed its prompt; or the rights
// could not be had at all (not authorized, no authentication agent to ask
// with, or another error of its own).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

// The program `name` in a folder of PATH, as a shell would find it.
std::optional<std::string> FindOnPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::string folders = path && path[0] ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(start, end - start);
    start = end + 1;
    if (folder.empty() || folder[0] != '/') continue;  // never relative to where we happen to be
    std::string candidate = folder + "/" + name;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return std::nullopt;
}

std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

ElevatedRun RunElevated(const std::string& program, const std::vector<std::string>& arguments) {
  ElevatedRun run;
  auto pkexec = FindOnPath("pkexec");
  if (!pkexec || program.empty()) return run;
  std::vector<std::string> command{*pkexec};
  // pkexec gives the program a clean environment: the user's display goes
  // along explicitly, so that the copy's window appears where the user is.
  const char* display = getenv("DISPLAY");
  if (display && display[0]) {
    std::string env = FindOnPath("env").value_or("/usr/bin/env");
    command.push_back(env);
    command.push_back(std::string("DISPLAY=") + display);
    const char* authority = getenv("XAUTHORITY");
    const char* home = getenv("HOME");
    if (authority && authority[0]) {
      command.push_back(std::string("XAUTHORITY=") + authority);
    } else if (home && home[0] == '/') {
      command.push_back(std::string("XAUTHORITY=") + home + "/.Xauthority");
    }
  }
  command.push_back(program);
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& c : command) argv.push_back(c.data());
  argv.push_back(nullptr);

  pid_t pid;
  // In our own process group and session: pkexec may ask for the password
  // on our terminal.
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return run;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return run;
  }
  if (WIFEXITED(status)) {
    int code = WEXITSTATUS(status);
    if (code == kPkexecDismissed) {
      run.result = ElevationResult::kRefused;
    } else if (code == kPkexecNotAuthorized) {
      run.result = ElevationResult::kUnavailable;
    } else {
      run.result = ElevationResult::kEnded;
      run.exitCode = code;
    }
  } else {
    // Ended by a signal: it ran, and did not end well.
    run.result = ElevationResult::kEnded;
    run.exitCode = 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  }
  return run;
}

std::string AdministratorCommand(const std::string& program, const std::vector<std::string>& arguments) {
  std::string command = "sudo " + ShellQuoted(program);
  for (const std::string& a : arguments) command += " " + ShellQuoted(a);
  return command;
}

bool IsElevated() { return geteuid() == 0; }

}  // namespace platform
