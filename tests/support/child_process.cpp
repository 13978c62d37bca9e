// The parts of running a child process that are the same on every system.
#include "tests/support/child_process.h"

#include <chrono>
#include <thread>

namespace testsupport {
namespace {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::optional<std::string> ChildProcess::ReadLine(int timeoutMs) {
  std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    std::size_t lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      output_ += line + "\n";
      return line;
    }
    std::int64_t left = deadline - NowMs();
    if (left <= 0 || !ReadMore(static_cast<int>(left))) return std::nullopt;
  }
}

bool ChildProcess::WaitForLine(const std::string& line, int timeoutMs, std::string* transcript) {
  std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    std::int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    auto got = ReadLine(static_cast<int>(left));
    if (!got) return false;
    if (transcript) *transcript += *got + "\n";
    if (*got == line) return true;
  }
}

ProcessOptions UpdaterOptions(std::vector<std::string> arguments, const std::string& guardFolder) {
  ProcessOptions o;
  o.arguments = std::move(arguments);
  o.environment["DISPLAY"] = std::nullopt;
  o.environment["WAYLAND_DISPLAY"] = std::nullopt;
  o.environment["HARBINOR_TEST_GUARD_FOLDER"] = guardFolder;
  o.timeoutMs = 60000;
  return o;
}

ProcessResult RunProcess(const std::string& program, const ProcessOptions& options) {
  ChildProcess child(program, options);
  return child.Wait(options.timeoutMs);
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (NowMs() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace testsupport
