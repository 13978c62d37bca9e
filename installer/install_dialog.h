// The install window: applies a staged update in install mode. The update
// is pending when the staging folder "dvd" in the application folder holds
// the update log "@update@.log", which the download leaves only after every
// file has arrived.
#pragma once

#include <string>

namespace installer {

inline constexpr const char* kStagingFolderName = "dvd";
inline constexpr const char* kUpdateLogName = "@update@.log";

// How the window ended; OK lets the main application start afterwards.
enum class DialogResult { kOk = 1, kCancel = 2 };

class InstallDialog {
 public:
  // `applicationFolder` ends with a separator.
  explicit InstallDialog(std::string applicationFolder);

  bool IsUpdatePending() const;
  std::string UpdateLogPath() const;
  DialogResult RunModal();

 private:
  std::string applicationFolder_;
};

}  // namespace installer
