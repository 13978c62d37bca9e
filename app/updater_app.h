// The application object: makes sure only one copy runs per user, removes
// the parked copy of a replaced updater, and picks the run mode from the
// first two characters of the arguments:
//   "/u" or "-u"  install mode: apply a staged update, then start the main
//                 application with the argument "*"
//   "/c" or "-c"  silent check mode: the update window stays hidden until
//                 its check finds updates
//   anything else interactive mode: the update window, shown at once
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/process.h"
#include "ui/update_dialog.h"
#include "ui/window_system.h"

namespace app {

// The name of the single-instance guard; the same text as the marker line
// of the update list.
inline constexpr std::string_view kInstanceName = "@TLV-DVD Update@\r\n";

enum class RunMode { kInstall, kSilentCheck, kInteractive };

RunMode SelectRunMode(std::string_view arguments);
// Whether one of the blank-separated arguments is "--console".
bool ConsoleRequested(std::string_view arguments);

class UpdaterApp {
 public:
  // `modulePath`: full path of the running executable.
  explicit UpdaterApp(std::string modulePath);
  UpdaterApp(const UpdaterApp&) = delete;
  UpdaterApp& operator=(const UpdaterApp&) = delete;

  // Runs once at process start; returns whether the message loop is to run.
  bool Startup(std::string_view arguments);
  // Runs the update window until it is destroyed.
  void RunMessageLoop();
  // Runs once when the program ends, in every mode.
  void Exit();

 private:
  void RemoveParkedCopy();
  void RunInstallMode(std::string_view arguments);
  void LaunchMainApplication();

  std::string modulePath_;
  platform::InstanceGuard guard_;
  // The window system outlives the dialog that draws on it.
  std::unique_ptr<ui::WindowSystem> window_;
  std::unique_ptr<ui::UpdateDialog> dialog_;
  RunMode mode_ = RunMode::kInteractive;
};

}  // namespace app
