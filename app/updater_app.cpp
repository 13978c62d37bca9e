#include "app/updater_app.h"

#include "engine/worker_threads.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "settings/app_paths.h"
#include "settings/failure_log.h"
#include "ui/front_end.h"
#include "ui/install_dialog.h"

namespace app {

RunMode SelectRunMode(std::string_view arguments) {
  if (arguments.size() < 2 || (arguments[0] != '/' && arguments[0] != '-')) return RunMode::kInteractive;
  switch (arguments[1]) {
    case 'u':
    case 'U':
      return RunMode::kInstall;
    case 'c':
    case 'C':
      return RunMode::kSilentCheck;
    default:
      return RunMode::kInteractive;
  }
}

bool HasArgument(std::string_view arguments, std::string_view word) {
  std::size_t start = 0;
  while (start <= arguments.size()) {
    std::size_t end = arguments.find(' ', start);
    if (end == std::string_view::npos) end = arguments.size();
    if (arguments.substr(start, end - start) == word) return true;
    start = end + 1;
  }
  return false;
}

bool ConsoleRequested(std::string_view arguments) { return HasArgument(arguments, kConsoleArgument); }

UpdaterApp::UpdaterApp(std::string modulePath) : modulePath_(std::move(modulePath)) {}

bool UpdaterApp::Startup(std::string_view arguments) {
  elevated_ = HasArgument(arguments, kElevatedArgument);
  console_ = ConsoleRequested(arguments);
  // The copy with administrator rights runs while the copy that started it
  // waits, holding the guard of every other start.
  guard_ = platform::InstanceGuard::Acquire(elevated_ ? kElevatedInstanceName : kInstanceName);
  // Another copy runs: end at once, silently. Without a guard at all the
  // program runs as the only copy.
  if (guard_.state() == platform::InstanceGuard::State::kHeldElsewhere) {
    if (elevated_) exitCode_ = kExitBusy;
    return false;
  }

  RemoveParkedCopy();
  mode_ = SelectRunMode(arguments);
  if (mode_ == RunMode::kInstall) {
    RunInstallMode(arguments);
    return false;
  }
  // The update window: created hidden; silent check mode leaves it hidden
  // until its check finds updates.
  window_ = ui::CreateWindowSystem(FrontEnd(), ui::WindowTemplate::kUpdateWindow);
  ui::DialogServices services(*window_);
  services.checkAccess = AccessCheck();
  services.runElevated = ElevatedRunner();
  services.administratorCommand = CommandForAdministrator();
  dialog_ = std::make_unique<ui::UpdateDialog>(std::move(services));
  window_->SetEventSink(dialog_.get());
  // The copy that took a download over goes on with it at once.
  dialog_->SetDownloadAtOnce(elevated_ && HasArgument(arguments, ui::kDownloadArgument));
  dialog_->InitWindow();
  if (mode_ == RunMode::kSilentCheck) {
    dialog_->SetSilentMode(true);
  } else {
    window_->ShowWindow();
  }
  return true;
}

void UpdaterApp::RunMessageLoop() {
  if (window_) window_->RunMessageLoop();
}

void UpdaterApp::Exit() {
  // The dialog first: its clean-up may still write "UpdateTime".
  if (window_) window_->SetEventSink(nullptr);
  dialog_.reset();
  window_.reset();
  // A worker the window gave up on has been told to stop; it ends before
  // the next copy of the program may start.
  engine::DownloadThreads().JoinAll(engine::kWorkerJoinBoundMs);
  guard_.Release();
}

void UpdaterApp::RemoveParkedCopy() {
  if (modulePath_.empty()) return;
  std::string parked = settings::ParkedCopyPath(modulePath_);
  if (parked != modulePath_ && platform::Exists(parked)) platform::RemoveFile(parked);
}

void UpdaterApp::RunInstallMode(std::string_view) {
  auto window = ui::CreateWindowSystem(FrontEnd(), ui::WindowTemplate::kInstallWindow);
  ui::InstallServices services;
  services.applicationFolder = settings::FolderOf(modulePath_);
  services.programPath = modulePath_;
  services.checkAccess = AccessCheck();
  services.runElevated = ElevatedRunner();
  services.administratorCommand = CommandForAdministrator();
  ui::InstallDialog dialog(*window, std::move(services));
  bool ok = dialog.RunModal() == ui::DialogResult::kOk;
  // The main application runs at the user's rights: a copy with
  // administrator rights leaves its start to the copy that waits for it.
  if (elevated_) {
    exitCode_ = ok ? kExitOk : kExitCancel;
  } else if (ok) {
    LaunchMainApplication();
  }
}

ui::FrontEndKind UpdaterApp::FrontEnd() const {
  ui::FrontEndKind kind = ui::ChooseFrontEnd(console_);
  // In the terminal the failure log's lines go to standard error as well.
  settings::SetFailureEcho(kind == ui::FrontEndKind::kConsole);
  return kind;
}

std::function<engine::FolderAccess(const std::string&)> UpdaterApp::AccessCheck() const {
  bool denied = !elevated_ && platform::TestDeniesRights();
  return [denied](const std::string& applicationFolder) {
    if (!denied) return engine::CheckStagingAccess(applicationFolder);
    std::string folder = applicationFolder;
    if (!folder.empty() && folder.back() == platform::kPathSeparator) folder.pop_back();
    return engine::FolderAccess{false, platform::FailureCause::kNoRights, folder};
  };
}

std::function<platform::ElevatedRun(const std::vector<std::string>&)> UpdaterApp::ElevatedRunner() const {
  // A copy with the rights never asks again.
  if (elevated_ || modulePath_.empty()) return {};
  return [program = modulePath_, console = console_](const std::vector<std::string>& step) {
    std::vector<std::string> arguments = step;
    arguments.push_back(kElevatedArgument);
    if (console) arguments.push_back(kConsoleArgument);
    return platform::RunElevated(program, arguments);
  };
}

std::function<std::string(const std::vector<std::string>&)> UpdaterApp::CommandForAdministrator() const {
  return [program = modulePath_](const std::vector<std::string>& step) {
    return platform::AdministratorCommand(program, step);
  };
}

void UpdaterApp::LaunchMainApplication() {
  std::string folder = settings::FolderOf(modulePath_);
  if (folder.empty()) return;
  // The path and "*" go as separate arguments, so blanks in the path are
  // never split. Whether the start succeeds is not reported.
  platform::LaunchDetached(folder + platform::kMainAppFileName, {"*"});
}

}  // namespace app
