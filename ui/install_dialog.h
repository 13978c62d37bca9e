// The install window: shows an install (installer/installer.h) in install
// mode. It asks for administrator rights where this copy may not change the
// application folder, runs the install on a worker thread while a 100 ms
// timer shows its progress, and asks the user what to do when a file cannot
// be installed: the failure message names the file and why when that is
// known, and the reason goes to the failure log.
//
// The window cannot be closed by the user; it ends with OK (the main
// application may start) or Cancel.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/staging.h"
#include "installer/installer.h"
#include "platform/elevation.h"
#include "ui/window_system.h"

namespace ui {

inline constexpr const char* kInstallTitle = "Tolvaro copying updated files...";
inline constexpr int kInstallTimer = 1502;
inline constexpr int kInstallTimerMs = 100;
inline constexpr int kCopyFinishedCommand = 201;

// How the window ended; OK lets the main application start afterwards.
enum class DialogResult { kOk = 1, kCancel = 2 };

// The arguments of the step a copy with administrator rights takes over.
inline constexpr const char* kInstallArgument = "/u";

struct InstallServices {
  // The running program's own services.
  InstallServices();

  std::string applicationFolder;  // ends with the path separator
  std::string programPath;        // the running updater's own file
  std::function<std::string(std::uint32_t id)> text;
  std::function<void(std::uint32_t ms)> sleep;  // the pauses between retries
  // Whether this copy may change the application folder and the staging
  // folder, asked before an install.
  std::function<engine::FolderAccess(const std::string& applicationFolder)> checkAccess;
  // Runs a copy of the program with administrator rights for the install,
  // waiting for it; its exit code 0 stands for OK. Empty where no copy is
  // to be asked for: in the tests, and in a copy that has the rights.
  std::function<platform::ElevatedRun(const std::vector<std::string>& step)> runElevated;
  // The command an administrator could run by hand for the install.
  std::function<std::string(const std::vector<std::string>& step)> administratorCommand;
  // Writes one line to the failure log (Harbinor.log): what failed and why.
  std::function<void(std::string_view what)> logFailure;
};

class InstallDialog : public WindowEvents {
 public:
  InstallDialog(WindowSystem& window, InstallServices services);
  ~InstallDialog() override;
  InstallDialog(const InstallDialog&) = delete;
  InstallDialog& operator=(const InstallDialog&) = delete;

  // Runs the window to its end.
  DialogResult RunModal();
  // Checks and starts the install; the window may end right here.
  bool InitWindow();
  // Takes up the end of the install worker.
  void OnCopyFinished();

  // WindowEvents.
  void OnCommand(int id) override;
  void OnTimer(int id) override;
  void OnHelpRequest() override {}
  void OnLinkClicked(std::string_view) override {}

  installer::Installer& installer() { return installer_; }
  std::optional<DialogResult> result() const { return result_; }

 private:
  void End(DialogResult result);
  // The failure message, which names the file and why it failed when that
  // is known; the user's answer is the window's result.
  void EndWithFailure();
  // Whether this copy may install; otherwise a copy with administrator
  // rights has installed (its result is this window's), or the user has
  // been told that the rights are missing, and the window has ended.
  bool MayInstallHere();
  void ShowProgress();

  WindowSystem& window_;
  InstallServices services_;
  installer::Installer installer_;
  std::optional<DialogResult> result_;
  std::thread worker_;
};

}  // namespace ui
