// Running the built programs as real processes. (Test code run in a forked
// child is in forked_child.h, for Linux.)
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  bool timedOut = false;
  int exitCode = -1;   // when it exited
  int signal = 0;      // when a signal ended it (Linux)
  std::string output;  // standard output and standard error together
};

struct ProcessOptions {
  std::vector<std::string> arguments;
  // Variables set (or, with an empty optional, removed) in the child's
  // environment on top of ours.
  std::map<std::string, std::optional<std::string>> environment;
  // A program that runs `program` for us (Wine for a Windows program): the
  // child is runner[0] with runner[1...], then `program` and the arguments.
  std::vector<std::string> runner;
  std::string input;  // written to standard input, which is then closed
  bool keepInputOpen = false;  // leave standard input open for WriteInput
  int timeoutMs = 20000;
  // Linux: the user (and group of the same number) the child runs as; the
  // test must run as root.
  std::optional<unsigned> runAsUser;
};

// The updater run as the story tests run it: no display (the terminal front
// end), its one-copy guard in `guardFolder`, a minute to finish.
ProcessOptions UpdaterOptions(std::vector<std::string> arguments, const std::string& guardFolder);

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const ProcessOptions& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Sends the signal (Linux); on Windows any signal ends the process at once.
  void Signal(int sig);
  // Waits for the end, collecting the output; kills the child at the
  // time-out.
  ProcessResult Wait(int timeoutMs);

  // With keepInputOpen: writes to the child's standard input.
  void WriteInput(const std::string& text);
  void CloseInput();
  // The next line of output (without its line end), waiting at most
  // `timeoutMs`; empty optional at the end of the output or the time-out.
  std::optional<std::string> ReadLine(int timeoutMs);
  // Reads lines until one equals `line`; false at the end or the time-out.
  // Every line read is kept in `transcript` when given.
  bool WaitForLine(const std::string& line, int timeoutMs, std::string* transcript = nullptr);

 private:
  // Waits at most `timeoutMs` for output and appends it to pending_; false
  // at the end of the output.
  bool ReadMore(int timeoutMs);

  std::intptr_t process_ = -1;  // the process id, or its handle on Windows
  std::intptr_t outHandle_ = -1;
  std::intptr_t inHandle_ = -1;
  struct Reader;
  std::shared_ptr<Reader> reader_;  // Windows: the thread that reads the output
  std::string output_;
  std::string pending_;  // read by ReadLine, not yet returned
};

ProcessResult RunProcess(const std::string& program, const ProcessOptions& options);

// Polls `condition` every 20 ms for up to `timeoutMs`.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs);

}  // namespace testsupport
