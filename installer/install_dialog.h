// The install window: applies a staged update in install mode. The update is
// pending when the staging folder "dvd" in the application folder holds the
// update log "@update@.log", which a download leaves only once every file has
// arrived. The window walks the staging folder, checks that every installed
// file can be replaced (asking the user when one stays locked), then copies
// the staged files over the installed ones on a worker thread, in large
// blocks (whole multiples of 4096 bytes, so the progress moves as it would
// 4096 bytes at a time), while a 100 ms timer shows the progress. Each
// installed file is on the disk before its staged copy is deleted; files are
// flushed a batch at a time, so that many small files do not each wait for
// the disk on their own. An install that is cut short
// leaves exactly the files not yet installed, and the next run installs
// those. The updater's own file is replaced without ever being missing: the
// new one is written beside it and renamed into place, the running one
// keeping the name "Harbinor.old" for the next start to delete.
//
// The window cannot be closed by the user; it ends with OK (the main
// application may start) or Cancel.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "ui/window_system.h"

namespace installer {

inline constexpr const char* kStagingFolderName = "dvd";
inline constexpr const char* kUpdateLogName = "@update@.log";
inline constexpr const char* kInstallTitle = "Tolvaro copying updated files...";
inline constexpr int kInstallTimer = 1502;
inline constexpr int kInstallTimerMs = 100;
inline constexpr int kCopyFinishedCommand = 201;
inline constexpr std::size_t kCopyChunk = 4096;
inline constexpr std::size_t kCopyBlock = 256 * kCopyChunk;
// Installed files wait for the disk together, up to this many of them or
// this many bytes.
inline constexpr std::size_t kFlushBatchFiles = 32;
inline constexpr std::uint64_t kFlushBatchBytes = 64u << 20;
inline constexpr std::uint64_t kWriteBehindBytes = 8u << 20;
inline constexpr int kOpenRetries = 25;
inline constexpr int kDeleteRetries = 30;
inline constexpr std::uint32_t kRetryPauseMs = 200;

// How the window ended; OK lets the main application start afterwards.
enum class DialogResult { kOk = 1, kCancel = 2 };

struct InstallServices {
  // The running program's own services.
  InstallServices();

  std::string applicationFolder;  // ends with the path separator
  std::function<std::string(std::uint32_t id)> text;
  std::function<void(std::uint32_t ms)> sleep;  // the pauses between retries
};

class InstallDialog : public ui::WindowEvents {
 public:
  InstallDialog(ui::WindowSystem& window, InstallServices services);
  ~InstallDialog() override;
  InstallDialog(const InstallDialog&) = delete;
  InstallDialog& operator=(const InstallDialog&) = delete;

  // Runs the window to its end.
  DialogResult RunModal();
  // Walks, checks and starts the copy; the window may end right here.
  bool InitWindow();

  bool IsUpdatePending() const;
  std::string UpdateLogPath() const;
  std::string StagingFolder() const;  // ends with the path separator
  // Appends the staged files below `folder` to the list, depth first, and
  // returns the sum of their sizes (each counted with its low 32 bits).
  // Names beginning with "." and every "@update@.log" are skipped, and
  // symbolic links are neither followed nor listed.
  std::uint32_t CollectStagedFiles(const std::string& folder);
  // The installed file a staged file replaces; empty for a path outside the
  // staging folder.
  std::optional<std::string> TargetPath(const std::string& stagedPath) const;
  // False when a target stays locked; the window has then been ended with
  // the user's answer.
  bool CheckTargetsWritable();
  // One step of the copy worker: false at the end of the work.
  bool CopyNextChunk();
  void OnCopyFinished();

  // WindowEvents.
  void OnCommand(int id) override;
  void OnTimer(int id) override;
  void OnHelpRequest() override {}
  void OnLinkClicked(std::string_view) override {}

  const std::vector<std::string>& stagedFiles() const { return stagedFiles_; }
  std::uint32_t totalBytes() const { return totalBytes_; }
  std::uint32_t copiedBytes() const { return copiedBytes_.load(); }
  std::optional<DialogResult> result() const { return result_; }

 private:
  void End(DialogResult result);
  bool TargetWritable(const std::string& target);
  bool OpenNextFile();
  bool FinishFile();
  // Flushes the installed files written since the last batch to the disk,
  // then deletes their staged copies; false when one could not be flushed.
  bool FlushWritten();

  ui::WindowSystem& window_;
  InstallServices services_;
  std::optional<DialogResult> result_;
  std::vector<std::string> stagedFiles_;
  std::set<std::string> probedFolders_;  // folders known to take new files
  std::uint32_t totalBytes_ = 0;
  std::atomic<std::uint32_t> copiedBytes_{0};
  std::atomic<bool> copyDone_{false};
  // Whether the worker got through the whole list; equal byte counts alone
  // could hide a file that was written but never finished.
  std::atomic<bool> copyComplete_{false};
  bool finishPosted_ = false;
  std::thread worker_;

  // Used by the copy worker only, while it runs.
  std::size_t currentIndex_ = 0;
  platform::File source_;
  platform::File target_;
  std::string writtenPath_;    // where the bytes go
  std::string finalPath_;      // where they belong
  bool replacingSelf_ = false;
  // Programs stay programs: a replaced file that could be run, or a new one
  // that begins like a program, is made executable.
  bool makeExecutable_ = false;
  bool firstChunk_ = true;
  std::uint64_t fileBytes_ = 0;  // written of the file in progress
  std::unique_ptr<std::uint8_t[]> block_;
  // Installed files not yet known to be on the disk, with their staged copies.
  struct Written {
    platform::File file;
    std::string stagedPath;
  };
  std::vector<Written> written_;
  std::uint64_t writtenBytes_ = 0;
};

}  // namespace installer
