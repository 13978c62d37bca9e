#include "app/updater_app.h"

#include "engine/worker_threads.h"
#include "installer/install_dialog.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "settings/app_paths.h"
#include "ui/front_end.h"

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

bool ConsoleRequested(std::string_view arguments) {
  std::size_t start = 0;
  while (start <= arguments.size()) {
    std::size_t end = arguments.find(' ', start);
    if (end == std::string_view::npos) end = arguments.size();
    if (arguments.substr(start, end - start) == "--console") return true;
    start = end + 1;
  }
  return false;
}

UpdaterApp::UpdaterApp(std::string modulePath) : modulePath_(std::move(modulePath)) {}

bool UpdaterApp::Startup(std::string_view arguments) {
  guard_ = platform::InstanceGuard::Acquire(kInstanceName);
  // Another copy runs: end at once, silently. Without a guard at all the
  // program runs as the only copy.
  if (guard_.state() == platform::InstanceGuard::State::kHeldElsewhere) return false;

  RemoveParkedCopy();
  mode_ = SelectRunMode(arguments);
  if (mode_ == RunMode::kInstall) {
    RunInstallMode(arguments);
    return false;
  }
  // The update window: created hidden; silent check mode leaves it hidden
  // until its check finds updates.
  window_ = ui::CreateWindowSystem(ui::ChooseFrontEnd(ConsoleRequested(arguments)),
                                   ui::WindowTemplate::kUpdateWindow);
  dialog_ = std::make_unique<ui::UpdateDialog>(ui::DialogServices(*window_));
  window_->SetEventSink(dialog_.get());
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

void UpdaterApp::RunInstallMode(std::string_view arguments) {
  auto window = ui::CreateWindowSystem(ui::ChooseFrontEnd(ConsoleRequested(arguments)),
                                       ui::WindowTemplate::kInstallWindow);
  installer::InstallServices services;
  services.applicationFolder = settings::FolderOf(modulePath_);
  installer::InstallDialog dialog(*window, std::move(services));
  if (dialog.RunModal() == installer::DialogResult::kOk) LaunchMainApplication();
}

void UpdaterApp::LaunchMainApplication() {
  std::string folder = settings::FolderOf(modulePath_);
  if (folder.empty()) return;
  // The path and "*" go as separate arguments, so blanks in the path are
  // never split. Whether the start succeeds is not reported.
  platform::LaunchDetached(folder + platform::kMainAppFileName, {"*"});
}

}  // namespace app
