// Helpers of the console window's tests on every system: a pipe for the
// window's input, a sink that records the events, and a console window on
// the pipe and string streams. The pipe is made by each system's test file
// (console_window_posix_test.cpp, console_window_win_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "ui/console/console_window.h"

namespace consoletest {

inline std::int64_t Now() { return platform::MonotonicMs(); }

// A pipe whose ends are stream numbers as the console window takes them.
class Pipe {
 public:
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int readEnd() const { return readEnd_; }
  int writeEnd() const { return writeEnd_; }
  void Send(const std::string& bytes);
  void CloseWriteEnd();

 private:
  int readEnd_ = -1;
  int writeEnd_ = -1;
};

// Records the events as short texts: "command 1", "timer 7", "help",
// "link ADDRESS"; optional reactions run after recording.
class RecordingSink : public ui::WindowEvents {
 public:
  void OnCommand(int id) override {
    events.push_back("command " + std::to_string(id));
    if (onCommand) onCommand(id);
  }
  void OnTimer(int id) override {
    events.push_back("timer " + std::to_string(id));
    timerTimes.push_back(Now());
    if (onTimer) onTimer(id);
  }
  void OnHelpRequest() override { events.push_back("help"); }
  void OnLinkClicked(std::string_view link) override { events.push_back("link " + std::string(link)); }

  std::vector<std::string> Take() { return std::exchange(events, {}); }
  int Count(const std::string& event) const {
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }

  std::vector<std::string> events;
  std::vector<std::int64_t> timerTimes;
  std::function<void(int)> onCommand;
  std::function<void(int)> onTimer;
};

// A console window on a pipe and string streams; with `virtualTime`, its
// clock is `clockMs`, which only its waits advance.
class Console {
 public:
  explicit Console(ui::WindowTemplate which = ui::WindowTemplate::kUpdateWindow, bool terminal = false,
                   bool virtualTime = false, ui::Size screen = ui::Size{60, 20}) {
    ui::ConsoleOptions options;
    options.which = which;
    options.terminal = terminal;
    options.inputStream = input.readEnd();
    options.output = &out;
    options.errors = &err;
    options.screen = screen;
    if (virtualTime) {
      options.nowMs = [this] { return clockMs; };
      options.waitMs = [this](int ms) { clockMs += ms; };
    }
    window = std::make_unique<ui::ConsoleWindow>(options);
    window->SetEventSink(&sink);
  }

  // The update window as the logic sets it up before showing it.
  void Label() {
    window->SetText(ui::kMainButton, "Download");
    window->SetText(ui::kCloseButton, "Close");
    window->SetText(ui::kHelpButton, "Help");
  }

  // Lines written since the last call.
  std::vector<std::string> Lines() {
    std::string all = out.str();
    std::string fresh = all.substr(consumed_);
    consumed_ = all.size();
    std::vector<std::string> lines;
    std::istringstream in(fresh);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Lines written once the window has come to wait, where it writes what
  // changed in the step before.
  std::vector<std::string> Settled() {
    window->WaitForEvents(0);
    return Lines();
  }
  std::string FreshOutput() {
    std::string all = out.str();
    std::string fresh = all.substr(consumed_);
    consumed_ = all.size();
    return fresh;
  }

  // Dispatches everything that is waiting now.
  int Drain(const ui::WindowSystem::KeyFilter* filter = nullptr) {
    int n = 0;
    while (window->DispatchOne(filter) && n < 10000) ++n;
    return n;
  }
  // Pumps as the window logic does, for `ms` of real time.
  void Pump(int ms, const ui::WindowSystem::KeyFilter* filter = nullptr) {
    std::int64_t end = Now() + ms;
    while (Now() < end) {
      if (!window->DispatchOne(filter)) window->WaitForEvents(static_cast<int>(std::max<std::int64_t>(end - Now(), 0)));
    }
  }
  // Pumps as the window logic does until the virtual clock has advanced
  // by `ms`.
  void PumpVirtual(std::int64_t ms, const ui::WindowSystem::KeyFilter* filter = nullptr) {
    std::int64_t end = clockMs + ms;
    while (clockMs < end) {
      if (!window->DispatchOne(filter)) window->WaitForEvents(static_cast<int>(end - clockMs));
    }
  }
  // Sends `bytes` and dispatches what they bring once they have come
  // through: at once on Linux; on Windows a thread of the platform layer
  // reads the pipe, so they may take a moment.
  void SendAndDrain(const std::string& bytes, const ui::WindowSystem::KeyFilter* filter = nullptr) {
    input.Send(bytes);
    window->WaitForEvents(1000);
    Drain(filter);
  }

  std::int64_t clockMs = 1000;
  Pipe input;
  std::ostringstream out;
  std::ostringstream err;
  RecordingSink sink;
  std::unique_ptr<ui::ConsoleWindow> window;

 private:
  std::size_t consumed_ = 0;
};

using Lines = std::vector<std::string>;

}  // namespace consoletest
