// The install of a staged update, without a window. The update is pending
// when the staging folder "dvd" in the application folder holds the update
// log "@update@.log", which a download leaves only once every file has
// arrived. The installer walks the staging folder, checks that every
// installed file can be replaced, then puts the staged files in place of the
// installed ones, one step a file; whoever shows it reads the progress from
// installedBytes() and the outcome from Finish() and the failure accessors.
//
// A staged file is durable when it is staged, and the staging folder lies
// inside the application folder: each one is renamed into its place. It
// first takes the permission bits of the file it replaces (and, when the
// updater runs as root, its owner and group); a new file that begins like a
// program is made executable. Where the rename cannot work (another file
// system mounted below the application folder, any other error), the file
// is copied as it always was: written beside its target under a name of the
// installer's own (InstallingPath), in large blocks, made durable, and
// renamed over the target; copied files wait for the disk a batch at a time,
// and their staged copies go once their new names are on the disk.
//
// No installed file is ever half-written or missing: a rename is one step,
// and a running program that still maps the old file does not notice it.
// An install that is cut short leaves exactly the files not yet installed,
// in the staging folder with the update log; the next run installs those
// and removes what the cut-short run left under the installer's names. The
// update log goes only once every renamed entry is on the disk. The
// updater's own file is replaced without ever being missing: the running
// one keeps the name "Harbinor.old" for the next start to delete.
//
// The installer never writes through a symbolic link: a target that is a
// link, or lies in a folder reached through one below the application
// folder, cannot be installed, in the check as in the install. Nor does it
// read through one: a staging folder that is a link installs nothing and
// removes nothing behind it.
//
// A file that cannot be installed (its target held, its permissions refused,
// its staged copy not deletable after a copy) stops the install; what was
// finished before it is installed, its staged copy and the update log stay
// for the next run. A staged entry that can never be installed (a link, a
// FIFO, device or socket) is left where it is and the rest is installed; the
// install then counts as failed, and no later run tries again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"

namespace installer {

inline constexpr std::size_t kCopyChunk = 4096;
inline constexpr std::size_t kCopyBlock = 256 * kCopyChunk;
// Copied files wait for the disk together, up to this many of them or this
// many bytes.
inline constexpr std::size_t kFlushBatchFiles = 32;
inline constexpr std::uint64_t kFlushBatchBytes = 64u << 20;
inline constexpr std::uint64_t kWriteBehindBytes = 8u << 20;
inline constexpr int kOpenRetries = 25;
inline constexpr int kDeleteRetries = 30;
inline constexpr std::uint32_t kRetryPauseMs = 200;

class Installer {
 public:
  // `applicationFolder` ends with the path separator; `programPath` is the
  // running updater's own file, which is parked rather than replaced;
  // `sleep` makes the pauses between retries.
  Installer(std::string applicationFolder, std::string programPath, std::function<void(std::uint32_t ms)> sleep);
  ~Installer();
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  const std::string& applicationFolder() const { return applicationFolder_; }
  std::string StagingFolder() const;  // ends with the path separator
  std::string UpdateLogPath() const;
  bool IsUpdatePending() const;
  // Removes the folders of the staging folder that hold nothing, and the
  // staging folder itself when it is empty then: what a run cut short after
  // deleting the update log was about to remove.
  void RemoveEmptiedFolders() const;

  // Appends the staged files below `folder` to the list, depth first, and
  // returns the sum of their sizes (each counted with its low 32 bits).
  // Every "@update@.log" and the download worker's temporary files are
  // skipped. A symbolic link (never followed), FIFO, device or socket goes
  // to the unusable entries instead, and so does the staging folder itself
  // when it is a link, with nothing behind it listed.
  std::uint32_t CollectStagedFiles(const std::string& folder);
  // The installed file a staged file replaces; empty for a path outside the
  // staging folder.
  std::optional<std::string> TargetPath(const std::string& stagedPath) const;
  // Whether every target can be replaced, waiting a little for one that
  // another program holds; when not, failedPath() and failedCause() say
  // which and why.
  bool CheckTargetsWritable();

  // One step of the install: false at the end of the work, finished or
  // stopped by a file that could not be installed.
  bool InstallNextStep();
  // Removes what a cut-short run left, then steps to the end of the work.
  void Run();
  // After Run: whether the whole update is in. The update log and the
  // emptied folders are then gone; staged entries that are no files stay.
  bool Finish();

  const std::vector<std::string>& stagedFiles() const { return stagedFiles_; }
  std::uint32_t totalBytes() const { return totalBytes_; }
  // Bytes of the files renamed into place and of those copied so far.
  std::uint32_t installedBytes() const { return installedBytes_.load(); }
  const std::vector<std::string>& unusableEntries() const { return unusable_; }
  // The first file that could not be installed, and why, when known.
  const std::string& failedPath() const { return failedPath_; }
  std::optional<platform::FailureCause> failedCause() const { return failedCause_; }
  // One line on what stopped the install, for the failure log.
  std::string FailureLine() const;

 private:
  std::uint32_t CollectBelow(const std::string& folder);
  bool IsRunningProgram(const std::string& target) const;
  bool StagingFolderIsLink() const;
  // Deletes a copied file's staged copy, waiting a little for one that
  // another program holds; false (the update log stays) when it stays.
  bool RemoveStaged(const std::string& staged);
  bool Failed(const std::string& path);
  bool ThroughLink(const std::string& target) const;
  bool TargetWritable(const std::string& target);
  bool FolderTakesNewFiles(const std::string& target);
  void RemoveLeftovers();
  // Sets up the next staged file's target; false when it can never take
  // the file.
  bool PrepareTarget();
  // Renames the staged file into place; false (nothing changed) when the
  // rename did not work and the file is to be copied instead.
  bool MoveIntoPlace();
  bool LinkIntoPlace(const std::string& staged);
  // The copy: the first block opens the files, the last one finishes it.
  bool CopyBlock();
  bool OpenCopy();
  bool FinishCopy();
  // Renames a copied file over its target, waiting a little for a target
  // another program holds.
  bool PutInPlace(platform::DurableFile& file);
  // Makes the copied files written since the last batch durable, renames
  // them over their targets, flushes their folders, then deletes their
  // staged copies; false when one of them could not be installed (its
  // staged copy stays).
  bool FlushWritten();
  // After a failed step: the file in progress is dropped, the finished ones
  // are installed.
  void StopAfterFailure();

  std::string applicationFolder_;
  std::string programPath_;
  std::function<void(std::uint32_t)> sleep_;
  std::vector<std::string> stagedFiles_;
  std::vector<std::string> unusable_;  // staged entries that are no files
  std::set<std::string> probedFolders_;  // folders known to take new files
  std::uint32_t totalBytes_ = 0;
  std::atomic<std::uint32_t> installedBytes_{0};
  // The first file that could not be installed, and why.
  std::string failedPath_;
  std::optional<platform::FailureCause> failedCause_;
  std::string failedError_;  // the system's words for it

  // The state of the steps.
  std::size_t currentIndex_ = 0;
  bool failed_ = false;
  // Folders whose entries changed by renames and are not yet known to be on
  // the disk: those the files went into, and those they left (in the
  // staging folder).
  std::set<std::string> renamedIn_, renamedOutOf_;
  // Staged names of files that are installed under a second name; they go
  // once the installed folders are on the disk.
  std::vector<std::string> linkedStaged_;
  // The file in progress.
  std::string finalPath_;      // where it belongs
  bool replacingSelf_ = false;
  std::optional<platform::FilePermissions> keep_;  // what the replaced file had
  // The copy of the file in progress.
  bool copying_ = false;
  platform::File source_;
  platform::DurableFile copy_;  // beside the target, under the installer's name
  bool beginsLikeProgram_ = false;
  bool firstChunk_ = true;
  std::uint64_t fileBytes_ = 0;
  std::unique_ptr<std::uint8_t[]> block_;
  // Copied files not yet known to be on the disk, with their staged copies.
  struct Written {
    platform::DurableFile file;
    std::string stagedPath;
  };
  std::vector<Written> written_;
  std::uint64_t writtenBytes_ = 0;
};

}  // namespace installer
