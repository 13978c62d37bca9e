// The application object: makes sure only one copy runs per user, removes
// the parked copy of a replaced updater, and picks the run mode from the
// first two characters of the arguments:
//   "/u" or "-u"  install mode: apply a staged update, then start the main
//                 application with the argument "*"
//   "/c" or "-c"  silent check mode: the update window stays hidden until
//                 its check finds updates
//   anything else interactive mode: the update window, shown at once
//
// Where a download or an install must change a folder that only an
// administrator may change, the program starts a copy of itself with
// administrator rights for that step ("--elevated", with "/u" or
// "--download") and waits for it. That copy has a guard of its own, so it
// runs beside the copy that waits for it; it never asks for rights again,
// never starts the main application (the waiting copy does, at the user's
// rights), and ends with the install window's result as its exit code (0
// OK, 1 Cancel). It takes nothing else from its command line: its folder,
// settings, server and list are found as at every start.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/download_worker.h"
#include "platform/elevation.h"
#include "platform/process.h"
#include "ui/front_end.h"
#include "ui/update_dialog.h"
#include "ui/window_system.h"

namespace app {

// The name of the single-instance guard; the same text as the marker line
// of the update list.
inline constexpr std::string_view kInstanceName = "@TLV-DVD Update@\r\n";
// The guard of a copy started with administrator rights.
inline constexpr std::string_view kElevatedInstanceName = "@TLV-DVD Update@ elevated\r\n";
inline constexpr const char* kElevatedArgument = "--elevated";
inline constexpr const char* kConsoleArgument = "--console";

// Exit codes of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitCancel = 1;
inline constexpr int kExitBusy = 3;  // another copy runs

enum class RunMode { kInstall, kSilentCheck, kInteractive };

RunMode SelectRunMode(std::string_view arguments);
// Whether one of the blank-separated arguments is `word`.
bool HasArgument(std::string_view arguments, std::string_view word);
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
  // The program's exit code: the install window's result in a copy with
  // administrator rights, kExitBusy when another such copy runs; otherwise
  // kExitOk.
  int ExitCode() const { return exitCode_; }

 private:
  void RemoveParkedCopy();
  void RunInstallMode(std::string_view arguments);
  void LaunchMainApplication();
  ui::FrontEndKind FrontEnd() const;
  // What the windows need to find out about their rights and to hand a
  // step to a copy with administrator rights.
  std::function<engine::FolderAccess(const std::string&)> AccessCheck() const;
  std::function<platform::ElevatedRun(const std::vector<std::string>&)> ElevatedRunner() const;
  std::function<std::string(const std::vector<std::string>&)> CommandForAdministrator() const;

  std::string modulePath_;
  platform::InstanceGuard guard_;
  // The window system outlives the dialog that draws on it.
  std::unique_ptr<ui::WindowSystem> window_;
  std::unique_ptr<ui::UpdateDialog> dialog_;
  RunMode mode_ = RunMode::kInteractive;
  bool elevated_ = false;  // started with administrator rights for one step
  bool console_ = false;
  int exitCode_ = kExitOk;
};

}  // namespace app
