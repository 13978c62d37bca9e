// The staging folder: "dvd" in the application folder. A download leaves the
// new files there, complete and verified, at the relative paths they are
// installed at; the empty update log "dvd/@update@.log" says that the set is
// complete, and install mode applies it. This is the one place of the
// folder's names and rules: where an item is staged, the temporary names
// the download worker and the installer write under (and how leftovers of
// a run cut short are told apart from staged files), the folders on the way
// to a file, and whether this process may change the folders at all.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace engine {

class UpdateList;
class UpdateItem;

inline constexpr std::string_view kStagingFolderName = "dvd";
inline constexpr const char* kUpdateLogName = "@update@.log";
// A new installed file is written as "." + its name + this, beside its target.
inline constexpr const char* kInstallingSuffix = ".installing~";

// <application folder>dvd, without a final separator.
std::string StagingFolderPath(const std::string& applicationFolder);
std::string UpdateLogPath(const std::string& applicationFolder);
// <application folder>dvd/<path of the item's address below the server
// base's "dvd/">; empty when it cannot be formed.
std::optional<std::string> StagedPath(const UpdateList& list, const UpdateItem& item);

// A staged file is written under a temporary name beside its staged name,
// "." + name + "." + the run's tag (16 hexadecimal digits) + ".part", and
// renamed into place once it is complete and on the disk; each run has a
// tag of its own, so two workers never write the same file.
std::string NewRunTag();
std::string WorkerTemporaryPath(const std::string& stagedPath, const std::string& runTag);
bool IsWorkerTemporaryName(std::string_view fileName);
// The bytes of a cut transfer kept for the next attempt (engine/kept_body.h)
// count as such names too.
// Deletes the temporary files that runs cut short (a killed program) left
// anywhere below the staging folder, except those at the paths in `keep`.
void RemoveWorkerLeftovers(const std::string& stagingFolder, const std::set<std::string>& keep = {});

// Where the installer writes the new file for `target` before it takes its
// place, and whether a file name is one of those.
std::string InstallingPath(const std::string& target);
bool IsInstallingName(std::string_view name);

// Creates every missing folder on the way to `filePath`; false when one
// cannot be created or something else is in the way.
bool EnsureParentFolders(const std::string& filePath);
// The same for a file below the staging folder, from the staging folder
// itself down: false also when one of those folders is a symbolic link, so
// that nothing staged is ever written through one.
bool MakeStagingFolders(const std::string& stagingFolder, const std::string& filePath);

// Whether this process may change what a download or an install changes:
// the application folder and, when it exists, the staging folder in it.
// Found out by trying (see platform::ProbeFolderChanges).
struct FolderAccess {
  bool allowed = true;
  platform::FailureCause cause = platform::FailureCause::kOther;
  std::string folder;  // the folder that refused, without a final separator
};
FolderAccess CheckStagingAccess(const std::string& applicationFolder);

// Why a file could not be written, in a few words for the failure log.
const char* FailureCauseText(platform::FailureCause cause);

}  // namespace engine
