#include "installer/install_dialog.h"

#include "platform/facts.h"
#include "platform/files.h"

namespace installer {

InstallDialog::InstallDialog(std::string applicationFolder) : applicationFolder_(std::move(applicationFolder)) {}

std::string InstallDialog::UpdateLogPath() const {
  return applicationFolder_ + kStagingFolderName + platform::kPathSeparator + kUpdateLogName;
}

bool InstallDialog::IsUpdatePending() const { return platform::Exists(UpdateLogPath()); }

DialogResult InstallDialog::RunModal() {
  // Nothing staged: nothing to install, the main application may start.
  if (!IsUpdatePending()) return DialogResult::kOk;
  // The copy of staged files is not part of this build yet. Ending with
  // Cancel leaves the staged files and the update log for a later run and
  // does not start the main application over a half-applied update.
  return DialogResult::kCancel;
}

}  // namespace installer
