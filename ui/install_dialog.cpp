#include "ui/install_dialog.h"

#include <algorithm>
#include <system_error>

#include "base/text_format.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "settings/app_paths.h"
#include "settings/failure_log.h"
#include "settings/string_catalog.h"

namespace ui {
namespace {

constexpr std::uint32_t kFailureText = 131;
constexpr std::uint32_t kFailureCaption = 130;
constexpr std::uint32_t kOkLabel = 133;
constexpr std::uint32_t kCancelLabel = 134;
constexpr std::uint32_t kAdministratorCommandText = 139;
constexpr std::uint32_t kNoRightsToInstallText = 142;
constexpr std::uint32_t kFileNoRightsText = 143;
constexpr std::uint32_t kFileDiskFullText = 144;
constexpr std::uint32_t kFileInUseText = 145;
constexpr std::uint32_t kStartWithoutUpdateText = 146;

std::int32_t ProgressValue(std::uint32_t bytes) { return static_cast<std::int32_t>(std::min<std::uint32_t>(bytes, INT32_MAX)); }

}  // namespace

InstallServices::InstallServices()
    : applicationFolder(settings::ApplicationFolder()),
      programPath(platform::ModulePath()),
      text([](std::uint32_t id) { return std::string(settings::GetText(id)); }),
      sleep(&platform::SleepMs),
      checkAccess(&engine::CheckStagingAccess),
      logFailure(&settings::LogFailure) {}

InstallDialog::InstallDialog(WindowSystem& window, InstallServices services)
    : window_(window),
      services_(std::move(services)),
      installer_(services_.applicationFolder, services_.programPath,
                 [this](std::uint32_t ms) { services_.sleep(ms); }) {}

InstallDialog::~InstallDialog() {
  if (worker_.joinable()) worker_.join();
  window_.SetEventSink(nullptr);
}

DialogResult InstallDialog::RunModal() {
  window_.SetEventSink(this);
  window_.SetTitle(kInstallTitle);
  InitWindow();
  if (!result_) {
    window_.ShowWindow();
    window_.RunMessageLoop();
  }
  if (worker_.joinable()) worker_.join();
  return result_.value_or(DialogResult::kCancel);
}

void InstallDialog::End(DialogResult result) {
  result_ = result;
  window_.DestroyWindow();
}

bool InstallDialog::InitWindow() {
  window_.SetMessageBoxLabels(services_.text(kOkLabel), services_.text(kCancelLabel));
  if (!installer_.IsUpdatePending()) {
    // A run cut short after deleting the update log left the folders it was
    // about to remove; they go now. Staged files stay where they are.
    installer_.RemoveEmptiedFolders();
    End(DialogResult::kOk);
    return true;
  }
  if (!MayInstallHere()) return true;
  installer_.CollectStagedFiles(installer_.StagingFolder());
  if (!installer_.CheckTargetsWritable()) {
    EndWithFailure();
    return true;
  }
  window_.SetProgressRange(ProgressValue(installer_.totalBytes()));
  window_.SetProgress(0);
  window_.StartTimer(kInstallTimer, kInstallTimerMs);
  try {
    worker_ = std::thread([this] {
      installer_.Run();
      // The worker's last touch of the window: its end is taken up on the
      // window's thread at once.
      window_.PostCommand(kCopyFinishedCommand);
    });
  } catch (const std::system_error&) {
    // Nothing has been installed; the staged files stay for the next run.
    window_.StopTimer(kInstallTimer);
    End(DialogResult::kCancel);
  }
  return true;
}

void InstallDialog::EndWithFailure() {
  std::string text = services_.text(kFailureText);
  std::uint32_t why = 0;
  switch (installer_.failedCause().value_or(platform::FailureCause::kOther)) {
    case platform::FailureCause::kNoRights: why = kFileNoRightsText; break;
    case platform::FailureCause::kDiskFull: why = kFileDiskFullText; break;
    case platform::FailureCause::kInUse: why = kFileInUseText; break;
    case platform::FailureCause::kOther: break;
  }
  if (why) text = base::FormatWithText(services_.text(why), installer_.failedPath()) + "\n\n" + text;
  if (services_.logFailure) services_.logFailure("install: " + installer_.FailureLine());
  Answer answer = window_.AskOkCancel(text, services_.text(kFailureCaption), MessageIcon::kExclamation);
  End(answer == Answer::kOk ? DialogResult::kOk : DialogResult::kCancel);
}

bool InstallDialog::MayInstallHere() {
  // A copy that cannot ask for more rights goes on; what it cannot change
  // is reported file by file.
  if (!services_.checkAccess || !services_.runElevated) return true;
  engine::FolderAccess access = services_.checkAccess(services_.applicationFolder);
  if (access.allowed || access.cause != platform::FailureCause::kNoRights) return true;
  platform::ElevatedRun run = services_.runElevated({kInstallArgument});
  if (run.result == platform::ElevationResult::kEnded) {
    End(run.exitCode == 0 ? DialogResult::kOk : DialogResult::kCancel);
    return false;
  }
  // The rights were refused, or cannot be asked for here: nothing has been
  // touched, and the update waits for the next install run.
  if (services_.logFailure)
    services_.logFailure("install: " + access.folder + ": no permission; " +
                         (run.result == platform::ElevationResult::kRefused ? "administrator rights refused"
                                                                            : "no way to ask for administrator rights"));
  std::string text = base::FormatWithText(services_.text(kNoRightsToInstallText), access.folder);
  if (run.result == platform::ElevationResult::kUnavailable && services_.administratorCommand)
    text += "\n\n" + base::FormatWithText(services_.text(kAdministratorCommandText),
                                          services_.administratorCommand({kInstallArgument}));
  text += "\n\n" + services_.text(kStartWithoutUpdateText);
  Answer answer = window_.AskOkCancel(text, services_.text(kFailureCaption), MessageIcon::kExclamation);
  End(answer == Answer::kOk ? DialogResult::kOk : DialogResult::kCancel);
  return false;
}

void InstallDialog::OnTimer(int id) {
  if (id == kInstallTimer) window_.SetProgress(ProgressValue(installer_.installedBytes()));
}

void InstallDialog::OnCommand(int id) {
  // Enter, Esc and the close box do nothing: only the end of the install
  // ends the window.
  if (id == kCopyFinishedCommand) OnCopyFinished();
}

void InstallDialog::OnCopyFinished() {
  window_.StopTimer(kInstallTimer);
  if (worker_.joinable()) worker_.join();
  window_.SetProgress(ProgressValue(installer_.installedBytes()));
  if (installer_.Finish()) {
    End(DialogResult::kOk);
    return;
  }
  // The staged copies not installed stay, with the update log, for the next
  // run; what could never be installed has been reported.
  EndWithFailure();
}

}  // namespace ui
