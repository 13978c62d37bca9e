// The download worker: the thread that works through the items of one
// update list while the window keeps running. For each item it checks for a
// valid staged copy, otherwise fetches it (unpacking a container), verifies
// its digest (one repeated transfer on a mismatch) and writes it below the
// staging folder "dvd" in the application folder. When every item of a
// download is staged it creates the empty update log "dvd/@update@.log",
// which tells the next start in install mode that a complete update waits.
//
// The same worker fetches the list document: an item without a digest is
// fetched and left in memory, nothing is written.
//
// The list is shared: the worker holds its own reference until its last
// act, so the window may let go of the list at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/update_list.h"

namespace engine {

// Outcomes of a run, in the list's resultCode.
enum ResultCode : std::int32_t {
  kSucceeded = 0,
  kUpToDate = 1,  // set by the check, never by the worker
  kAborted = 2,
  kCannotConnect = 3,
  kFailed = 4,
  kCannotSave = 5,
};

inline constexpr const char* kUpdateLogName = "@update@.log";

enum class StagedState {
  kBlocked = 0,  // no staged path, or a stale file that cannot be deleted
  kStaged = 1,   // present with the listed size and digest
  kToFetch = 2,  // nothing valid staged (a stale file has been deleted)
};

// The limit on a file's response: a packed body can be a little larger than
// the file it holds.
std::size_t ResponseCapFor(std::int32_t listedSize);

// <application folder>dvd/<path of the item's address below the server
// base's "dvd/">; empty when it cannot be formed.
std::optional<std::string> StagedPath(const UpdateList& list, const UpdateItem& item);
std::string UpdateLogPath(const std::string& applicationFolder);
StagedState CheckStaged(const UpdateList& list, const UpdateItem& item);
bool FetchItem(UpdateList& list, UpdateItem& item);
bool Fetch(UpdateItem& item, SharedWord& runningTotal, const SharedWord& control);
bool VerifyDigest(const UpdateItem& item);
// A staged file is written under a temporary name beside its staged name,
// "." + name + "." + the run's tag (16 hexadecimal digits) + ".part", and
// renamed into place once it is complete and on the disk; each run has a
// tag of its own, so two workers never write the same file.
std::string NewRunTag();
std::string WorkerTemporaryPath(const std::string& stagedPath, const std::string& runTag);
bool IsWorkerTemporaryName(std::string_view fileName);
// Writes the item under its temporary name and renames it into place,
// unless a stop has come by then. False on failure or stop.
bool SaveStaged(const UpdateList& list, UpdateItem& item, const std::string& runTag);
// Deletes the temporary files that runs cut short (a killed program) left
// anywhere below the staging folder.
void RemoveWorkerLeftovers(const std::string& stagingFolder);
// Creates every missing folder on the way to `filePath`; false when one
// cannot be created or something else is in the way.
bool EnsureParentFolders(const std::string& filePath);
// The same for a file below the staging folder, from the staging folder
// itself down: false also when one of those folders is a symbolic link, so
// that nothing staged is ever written through one.
bool MakeStagingFolders(const std::string& stagingFolder, const std::string& filePath);
// Creates the empty update log; false when it cannot be made, which fails
// the run.
bool CreateUpdateLog(const UpdateList& list);

// Whether this process may change what a download or an install changes:
// the application folder and, when it exists, the staging folder in it.
// Found out by trying (see platform::ProbeFolderChanges).
struct FolderAccess {
  bool allowed = true;
  platform::FailureCause cause = platform::FailureCause::kOther;
  std::string folder;  // the folder that refused, without a final separator
};
FolderAccess CheckStagingAccess(const std::string& applicationFolder);

// The worker's whole run over `list`.
void DownloadWorker(UpdateList& list);
// Starts the worker on a thread of DownloadThreads(); false when no thread
// could be started (the run then has not begun and workerActive stays
// false).
bool StartDownloadWorker(std::shared_ptr<UpdateList> list);

}  // namespace engine
