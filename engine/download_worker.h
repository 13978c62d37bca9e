// The download worker: the thread that works through the items of one
// update list while the window keeps running. For each item it checks for a
// valid staged copy, otherwise fetches it (unpacking a container), verifies
// its digest (one repeated transfer on a mismatch) and writes it below the
// staging folder "dvd" in the application folder. When every item of a
// download is staged it creates the empty update log "dvd/@update@.log",
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

StagedState CheckStaged(const UpdateList& list, const UpdateItem& item);
// Fetches the list request into the item's memory (body, bodyLength); false
// with the result set on failure.
bool FetchItem(UpdateList& list, UpdateItem& item);
// Stages one listed file: fetched into its temporary name as it arrives
// (a container unpacked on the way), verified (one more transfer on a
// digest mismatch), made durable and renamed into place, unless a stop has
// come by then. False with the result set on failure or stop.
bool StageItem(UpdateList& list, UpdateItem& item, const std::string& runTag);
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
