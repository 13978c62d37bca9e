#include "tests/support/child_process.h"
#include "tests/support/forked_child.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace testsupport {
namespace {

pid_t AsPid(std::intptr_t process) { return static_cast<pid_t>(process); }

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const ProcessOptions& options) {
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  process_ = fork();
  if (process_ < 0) throw std::runtime_error("fork failed");
  if (process_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    if (options.runAsUser &&
        (setgroups(0, nullptr) != 0 || setgid(*options.runAsUser) != 0 || setuid(*options.runAsUser) != 0))
      _exit(126);
    for (const auto& [name, value] : options.environment) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
    std::vector<char*> argv;
    for (const auto& r : options.runner) argv.push_back(const_cast<char*>(r.c_str()));
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : options.arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(in[0]);
  if (!options.input.empty()) {
    ssize_t ignored = write(in[1], options.input.data(), options.input.size());
    (void)ignored;
  }
  if (options.keepInputOpen) {
    inHandle_ = in[1];
  } else {
    close(in[1]);
  }
  outHandle_ = out[0];
}

ChildProcess::~ChildProcess() {
  if (process_ > 0) {
    kill(AsPid(process_), SIGKILL);
    waitpid(AsPid(process_), nullptr, 0);
  }
  if (static_cast<int>(outHandle_) >= 0) close(static_cast<int>(outHandle_));
  if (static_cast<int>(inHandle_) >= 0) close(static_cast<int>(inHandle_));
}

void ChildProcess::WriteInput(const std::string& text) {
  if (static_cast<int>(inHandle_) < 0) return;
  ssize_t ignored = write(static_cast<int>(inHandle_), text.data(), text.size());
  (void)ignored;
}

void ChildProcess::CloseInput() {
  if (static_cast<int>(inHandle_) >= 0) close(static_cast<int>(inHandle_));
  inHandle_ = -1;
}

bool ChildProcess::ReadMore(int timeoutMs) {
  struct pollfd p{static_cast<int>(outHandle_), POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return true;
  char buf[4096];
  ssize_t n = read(static_cast<int>(outHandle_), buf, sizeof buf);
  if (n <= 0) return false;
  pending_.append(buf, static_cast<std::size_t>(n));
  return true;
}

void ChildProcess::Signal(int sig) {
  if (process_ > 0) kill(AsPid(process_), sig);
}

ProcessResult ChildProcess::Wait(int timeoutMs) {
  ProcessResult result;
  output_ += pending_;  // read ahead by ReadLine, not yet returned
  pending_.clear();
  std::int64_t deadline = NowMs() + timeoutMs;
  // Read until the child's end of the pipe closes or the time runs out. A
  // grandchild that keeps the pipe open (a started program) does not hold
  // us up once the child itself has ended.
  for (;;) {
    int status;
    pid_t done = waitpid(AsPid(process_), &status, WNOHANG);
    if (done == AsPid(process_)) {
      process_ = -1;
      if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
      // Collect what is already in the pipe.
      char buf[4096];
      fcntl(static_cast<int>(outHandle_), F_SETFL, O_NONBLOCK);
      ssize_t n;
      while ((n = read(static_cast<int>(outHandle_), buf, sizeof buf)) > 0) output_.append(buf, static_cast<std::size_t>(n));
      break;
    }
    if (NowMs() >= deadline) {
      result.timedOut = true;
      kill(AsPid(process_), SIGKILL);
      waitpid(AsPid(process_), nullptr, 0);
      process_ = -1;
      break;
    }
    struct pollfd p{static_cast<int>(outHandle_), POLLIN, 0};
    if (poll(&p, 1, 20) > 0) {
      char buf[4096];
      ssize_t n = read(static_cast<int>(outHandle_), buf, sizeof buf);
      if (n > 0) output_.append(buf, static_cast<std::size_t>(n));
      else if (n == 0) {
        // Pipe closed; the child is about to end.
        struct timespec ts{0, 5000000};
        nanosleep(&ts, nullptr);
      }
    }
  }
  result.output = output_;
  return result;
}

int RunInChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int code = 1;
    try {
      code = body();
    } catch (...) {
      code = 99;
    }
    _exit(code);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

bool MakeFolderReadOnlyHere(const std::string& folder) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  return mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

}  // namespace testsupport
