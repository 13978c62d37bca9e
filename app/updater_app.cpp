#include "app/updater_app.h"

#include "installer/install_dialog.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "settings/app_paths.h"

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

UpdaterApp::UpdaterApp(std::string modulePath) : modulePath_(std::move(modulePath)) {}

bool UpdaterApp::Startup(std::string_view arguments) {
  guard_ = platform::InstanceGuard::Acquire(kInstanceName);
  // Another copy runs: end at once, silently. Without a guard at all the
  // program runs as the only copy.
  if (guard_.state() == platform::InstanceGuard::State::kHeldElsewhere) return false;

  RemoveParkedCopy();
  mode_ = SelectRunMode(arguments);
  if (mode_ == RunMode::kInstall) {
    RunInstallMode();
    return false;
  }
  // The update window (hidden in silent check mode) is not part of this
  // build yet, so there is no message loop to run.
  return false;
}

void UpdaterApp::RunMessageLoop() {}

void UpdaterApp::Exit() { guard_.Release(); }

void UpdaterApp::RemoveParkedCopy() {
  if (modulePath_.empty()) return;
  std::string parked = settings::ParkedCopyPath(modulePath_);
  if (parked != modulePath_ && platform::Exists(parked)) platform::RemoveFile(parked);
}

void UpdaterApp::RunInstallMode() {
  installer::InstallDialog dialog(settings::FolderOf(modulePath_));
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
