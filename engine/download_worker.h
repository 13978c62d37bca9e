// The download worker: the thread that works through the items of one
// update list while the window keeps running. For each item it checks for a
// valid staged copy, otherwise fetches it (unpacking a container), verifies
// its digest (one repeated transfer on a mismatch) and writes it below the
// staging folder "dvd" in the application folder. Up to
// ListContext::parallelTransfers items are worked on at once, each on a
// thread of its own (the worker's own thread is one of them), taken in list
// order; the counters add up all of them, and a failed run reports what a
// walk through the list in order would have met first. When every item of
// a download is staged it creates the empty update log "dvd/@update@.log",
// which tells the next start in install mode that a complete update waits.
//
// The same worker fetches the list document: an item without a digest is
// fetched and left in memory, nothing is written. Every listed file has a
// digest (the list drops those without one) and takes the one way to the
// disk, whatever its size, an empty file too.
//
// The list is shared: the worker holds its own reference until its last
// act, so the window may let go of the list at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/staging.h"
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

enum class StagedState {
  kBlocked = 0,  // no staged path, or a stale file that cannot be deleted
  kStaged = 1,   // present with the listed size and digest
  kToFetch = 2,  // nothing valid staged (a stale file has been deleted)
};

// The limit on a file's response: a packed body can be a little larger than
// the file it holds.
std::size_t ResponseCapFor(std::int32_t listedSize);

// Why an item ended the run, kept until the run ends: a run with several
// transfers reports the failure of the first failed item in list order.
struct ItemFailure {
  ResultCode code = kSucceeded;
  std::string reason;  // for the failure log
  // For kCannotSave: why, and in which folder.
  platform::FailureCause saveCause = platform::FailureCause::kOther;
  std::string saveFolder;
  void ApplyTo(UpdateList& list) const;
};

// How many files a download fetches at once at most.
inline constexpr std::size_t kMaxParallelTransfers = 16;

StagedState CheckStaged(const UpdateList& list, const UpdateItem& item);
// Fetches the list request into the item's memory (body, bodyLength); false
// with the result set on failure.
bool FetchItem(UpdateList& list, UpdateItem& item);
bool FetchItem(UpdateList& list, UpdateItem& item, ItemFailure& failure);
// Stages one listed file: fetched into its temporary name as it arrives
// (a container unpacked on the way), verified (one more transfer on a
// digest mismatch), made durable and renamed into place, unless a stop has
// come by then. False with the result set on failure or stop.
bool StageItem(UpdateList& list, UpdateItem& item, const std::string& runTag);
bool StageItem(UpdateList& list, UpdateItem& item, const std::string& runTag, ItemFailure& failure);
// Creates the empty update log; false when it cannot be made, which fails
// the run.
bool CreateUpdateLog(const UpdateList& list);

// The worker's whole run over `list`.
void DownloadWorker(UpdateList& list);
// Starts the worker on a thread of DownloadThreads(); false when no thread
// could be started (the run then has not begun and workerActive stays
// false).
bool StartDownloadWorker(std::shared_ptr<UpdateList> list);

}  // namespace engine
