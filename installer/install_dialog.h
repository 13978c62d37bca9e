// The install window: applies a staged update in install mode. The update is
// pending when the staging folder "dvd" in the application folder holds the
// update log "@update@.log", which a download leaves only once every file has
// arrived. The window walks the staging folder, checks that every installed
// file can be replaced (asking the user when one stays locked), then copies
// the staged files over the installed ones on a worker thread, in large
// blocks (whole multiples of 4096 bytes, so the progress moves as it would
// 4096 bytes at a time), while a 100 ms timer shows the progress.
//
// No installed file is ever half-written or missing: each new file is
// written beside its target under a name of the installer's own
// (InstallingPath), made durable, and renamed over the target, which a
// running program that still maps the old file does not notice. The new
// file keeps the permission bits of the file it replaces (and, when the
// updater runs as root, its owner and group); a new file that begins like a
// program is made executable. Once the rename is on the disk (the folder
// flushed too) the staged copy is deleted; files are flushed a batch at a
// time, so that many small files do not each wait for the disk on their
// own. An install that is cut short leaves exactly the files not yet
// installed, and the next run installs those and removes what the cut-short
// run left under the installer's names. The updater's own file is replaced
// without ever being missing: the new one is written beside it and renamed
// into place, the running one keeping the name "Harbinor.old" for the next
// start to delete.
//
// The installer never writes through a symbolic link: a target that is a
// link, or lies in a folder reached through one below the application
// folder, cannot be installed, in the check as in the copy.
//
// A file that cannot be installed stops the copy; what was finished before
// it is installed, its staged copy and the update log stay for the next run,
// and the user is asked as in the check. A staged entry that can never be
// installed (a FIFO, device or socket) is left where it is, the rest is
// installed, and the user is asked at the end.
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
#include <string_view>
#include <thread>
#include <vector>

#include "engine/staging.h"
#include "platform/elevation.h"
#include "platform/files.h"
#include "ui/window_system.h"

namespace installer {



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
using engine::InstallingPath;
using engine::kInstallingSuffix;

// How the window ended; OK lets the main application start afterwards.
enum class DialogResult { kOk = 1, kCancel = 2 };

// The arguments of the step a copy with administrator rights takes over.
inline constexpr const char* kInstallArgument = "/u";

struct InstallServices {
  // The running program's own services.
  InstallServices();

  std::string applicationFolder;  // ends with the path separator
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
  // Every "@update@.log" and the download worker's temporary files are
  // skipped, and symbolic links are neither followed nor listed. A FIFO,
  // device or socket goes to the unusable entries instead.
  std::uint32_t CollectStagedFiles(const std::string& folder);
  // The installed file a staged file replaces; empty for a path outside the
  // staging folder.
  std::optional<std::string> TargetPath(const std::string& stagedPath) const;
  // False when a target stays locked; the window has then been ended with
  // the user's answer.
  bool CheckTargetsWritable();
  // One step of the copy worker: false at the end of the work, finished or
  // stopped by a file that could not be installed.
  bool CopyNextChunk();
  // The copy worker: removes what a cut-short run left, then copies to the
  // end of the work; OnCopyFinished takes up its outcome.
  void RunCopy();
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
  const std::vector<std::string>& unusableEntries() const { return unusable_; }

 private:
  void End(DialogResult result);
  // The failure message, which names the file and why it failed when that
  // is known; the user's answer is the window's result.
  void EndWithFailure();
  // Whether this copy may install; otherwise a copy with administrator
  // rights has installed (its result is this window's), or the user has
  // been told that the rights are missing, and the window has ended.
  bool MayInstallHere();
  // Remembers the file that could not be installed and why, from the
  // system's last failure.
  bool Failed(const std::string& path);
  // Whether `target`, or a folder on its way below the application folder,
  // is a symbolic link.
  bool ThroughLink(const std::string& target) const;
  bool TargetWritable(const std::string& target);
  // Whether a new file can be made beside `target`, in its folder or (when
  // that does not exist yet) in the nearest folder above it that does.
  bool FolderTakesNewFiles(const std::string& target);
  void RemoveLeftovers();
  bool CopyBlock();
  bool OpenNextFile();
  bool FinishFile();
  // Renames `from` over `to`, waiting a little for a target another program
  // holds.
  bool PutInPlace(const std::string& from, const std::string& to);
  // Makes the files written since the last batch durable, renames them over
  // their targets, flushes their folders, then deletes their staged copies;
  // false when one of them could not be installed (its staged copy stays).
  bool FlushWritten();
  // After a failed step: the file in progress is dropped, the finished ones
  // are installed.
  void StopAfterFailure();

  ui::WindowSystem& window_;
  InstallServices services_;
  std::optional<DialogResult> result_;
  std::vector<std::string> stagedFiles_;
  std::set<std::string> probedFolders_;  // folders known to take new files
  std::uint32_t totalBytes_ = 0;
  std::atomic<std::uint32_t> copiedBytes_{0};
  // Whether the worker got through the whole list; equal byte counts alone
  // could hide a file that was written but never finished.
  std::atomic<bool> copyComplete_{false};
  std::vector<std::string> unusable_;  // staged entries that are no files
  // The first file that could not be installed, and why; written by the
  // window's thread in the check, by the worker in the copy.
  std::string failedPath_;
  std::optional<platform::FailureCause> failedCause_;
  std::thread worker_;

  // Used by the copy worker only, while it runs.
  std::size_t currentIndex_ = 0;
  bool failed_ = false;
  platform::File source_;
  platform::File target_;
  std::string writtenPath_;    // where the bytes go
  std::string finalPath_;      // where they belong
  bool ownsWrittenPath_ = false;  // a file of ours at writtenPath_, not yet handed on
  bool replacingSelf_ = false;
  // What the replaced file had; empty for a new file.
  std::optional<platform::FilePermissions> keep_;
  bool beginsLikeProgram_ = false;
  bool firstChunk_ = true;
  std::uint64_t fileBytes_ = 0;  // written of the file in progress
  std::unique_ptr<std::uint8_t[]> block_;
  // Installed files not yet known to be on the disk, with their staged copies.
  struct Written {
    platform::File file;
    std::string writtenPath;
    std::string finalPath;
    std::string stagedPath;
  };
  std::vector<Written> written_;
  std::uint64_t writtenBytes_ = 0;
};

}  // namespace installer
