#include "installer/installer.h"

#include <algorithm>

#include "base/ascii_text.h"
#include "engine/staging.h"
#include "platform/facts.h"
#include "settings/app_paths.h"

namespace installer {
namespace {

constexpr char kSep = platform::kPathSeparator;
// Beside the installed updater while its new copy is written.
constexpr const char* kNewCopySuffix = ".new~";

std::string ParentOf(const std::string& path) {
  std::size_t sep = path.find_last_of(kSep);
  return sep == std::string::npos || sep == 0 ? std::string() : path.substr(0, sep);
}

bool BeginsLikeProgram(std::string_view head) {
  return head.substr(0, 4) == "\x7F" "ELF" || head.substr(0, 2) == "#!";
}

void RemoveEmptiedBelow(const std::string& folder) {
  for (const platform::FolderEntry& e : platform::ListFolder(folder).value_or(std::vector<platform::FolderEntry>{}))
    if (e.isFolder && !e.isSymlink) RemoveEmptiedBelow(folder + kSep + e.name);
  platform::RemoveFolder(folder);
}

}  // namespace

Installer::Installer(std::string applicationFolder, std::string programPath,
                     std::function<void(std::uint32_t ms)> sleep)
    : applicationFolder_(std::move(applicationFolder)), programPath_(std::move(programPath)), sleep_(std::move(sleep)) {}

bool Installer::IsRunningProgram(const std::string& target) const {
  // Windows names are the same in any letter case; Linux names are not.
  return platform::kPathSeparator == '\\' ? base::EqualsIgnoringCase(target, programPath_) : target == programPath_;
}

bool Installer::StagingFolderIsLink() const {
  auto attributes = platform::AttributesOf(engine::StagingFolderPath(applicationFolder_));
  return attributes && attributes->isSymlink;
}

// A copy not yet in place goes with its DurableFile; what is staged stays.
Installer::~Installer() = default;

std::string Installer::StagingFolder() const { return engine::StagingFolderPath(applicationFolder_) + kSep; }

std::string Installer::UpdateLogPath() const { return engine::UpdateLogPath(applicationFolder_); }

bool Installer::IsUpdatePending() const { return platform::Exists(UpdateLogPath()); }

void Installer::RemoveEmptiedFolders() const {
  // Nothing is removed behind a link in the staging folder's place.
  if (!StagingFolderIsLink()) RemoveEmptiedBelow(engine::StagingFolderPath(applicationFolder_));
}

std::uint32_t Installer::CollectStagedFiles(const std::string& folder) {
  // A staging folder that is a link leads anywhere: nothing behind it is
  // installed (the download worker never writes through one either).
  if (StagingFolderIsLink()) {
    unusable_.push_back(engine::StagingFolderPath(applicationFolder_));
    return 0;
  }
  std::uint32_t sum = CollectBelow(folder);
  totalBytes_ += sum;
  return sum;
}

std::uint32_t Installer::CollectBelow(const std::string& folder) {
  auto entries = platform::ListFolder(folder);
  if (!entries) return 0;
  std::string prefix = folder;
  if (prefix.empty() || prefix.back() != kSep) prefix.push_back(kSep);
  std::uint32_t sum = 0;
  for (const platform::FolderEntry& e : *entries) {
    // Every listed file is installed, whatever its name ("." and ".."
    // aside); only the download worker's own temporary files stay behind.
    if (e.name.empty() || e.name == "." || e.name == "..") continue;
    if (!e.isFolder && !e.isSymlink && engine::IsWorkerTemporaryName(e.name)) continue;
    std::string path = prefix + e.name;
    if (e.isSymlink) {
      // Never followed, never installed: the download worker makes none.
      unusable_.push_back(std::move(path));
      continue;
    }
    if (e.isFolder) {
      sum += CollectBelow(path);
      continue;
    }
    if (base::EqualsIgnoringCase(e.name, engine::kUpdateLogName)) continue;
    if (e.isSpecial) {
      // It has no bytes to install: it can never be installed.
      unusable_.push_back(std::move(path));
      continue;
    }
    sum += static_cast<std::uint32_t>(e.size);
    stagedFiles_.push_back(std::move(path));
  }
  return sum;
}

std::optional<std::string> Installer::TargetPath(const std::string& stagedPath) const {
  const std::string staging = engine::StagingFolderPath(applicationFolder_);
  if (stagedPath.size() <= staging.size() + 1 || stagedPath.compare(0, staging.size(), staging) != 0 ||
      stagedPath[staging.size()] != kSep)
    return std::nullopt;
  std::string folder = applicationFolder_;
  if (!folder.empty() && folder.back() == kSep) folder.pop_back();
  return folder + stagedPath.substr(staging.size());
}

bool Installer::ThroughLink(const std::string& target) const {
  const std::string& base = applicationFolder_;
  if (target.compare(0, base.size(), base) != 0) return true;
  for (std::size_t end = base.size();; ++end) {
    end = target.find(kSep, end);
    auto attributes = platform::AttributesOf(target.substr(0, end));
    if (!attributes) return false;  // nothing beyond exists yet
    if (attributes->isSymlink) return true;
    if (end == std::string::npos) return false;
  }
}

bool Installer::FolderTakesNewFiles(const std::string& target) {
  // The nearest folder that exists; the install creates the folders below it.
  std::string folder = ParentOf(target);
  while (!folder.empty() && !platform::Exists(folder)) folder = ParentOf(folder);
  if (folder.empty() || !platform::IsFolder(folder)) return false;
  // A folder that took a probe takes the next new file too.
  if (probedFolders_.count(folder)) return true;
  std::string probe = folder == ParentOf(target) ? engine::InstallingPath(target) : folder + kSep + "~@test@~.dat";
  platform::RemoveFile(probe);
  platform::File f = platform::File::Open(probe, platform::OpenMode::kCreateNew);
  if (!f.IsOpen()) return false;
  f.Close();
  platform::RemoveFile(probe);
  probedFolders_.insert(folder);
  return true;
}

bool Installer::TargetWritable(const std::string& target) {
  if (ThroughLink(target)) return false;
  if (auto attributes = platform::AttributesOf(target)) {
    if (attributes->readOnly) {
      failedPath_ = target;
      failedCause_ = platform::FailureCause::kNoRights;
      return false;
    }
    if (attributes->isFolder || attributes->isSpecial) return false;
    // Held by another program (on Linux: a running program's file cannot be
    // opened for writing): wait a little for it to let go.
    for (int attempt = 0; !platform::File::Open(target, platform::OpenMode::kWriteExisting).IsOpen(); ++attempt) {
      if (attempt == kOpenRetries) return Failed(target);
      sleep_(kRetryPauseMs);
    }
  }
  // The new file takes the target's place by a rename in its folder.
  return FolderTakesNewFiles(target) || Failed(target);
}

bool Installer::Failed(const std::string& path) {
  platform::FailureCause cause = platform::LastFailureCause();
  std::string errorText = platform::LastErrorText();
  if (!failedCause_) {
    failedPath_ = path;
    failedCause_ = cause;
    failedError_ = std::move(errorText);
  }
  return false;
}

std::string Installer::FailureLine() const {
  if (failedCause_)
    return failedPath_ + ": " + engine::FailureCauseText(*failedCause_) + (failedError_.empty() ? "" : ": " + failedError_);
  if (!unusable_.empty())
    return unusable_.front() + (StagingFolderIsLink() ? ": a symbolic link, nothing behind it installed"
                                                      : ": not a file, left in the staging folder");
  return "a staged file could not be installed";
}

bool Installer::CheckTargetsWritable() {
  for (const std::string& staged : stagedFiles_) {
    auto target = TargetPath(staged);
    // The updater's own file is moved aside, never overwritten.
    if (!target || !(IsRunningProgram(*target) ? !ThroughLink(*target) : TargetWritable(*target))) return false;
  }
  return true;
}

void Installer::RemoveLeftovers() {
  std::set<std::string> targets, folders;
  for (const std::string& staged : stagedFiles_) {
    auto target = TargetPath(staged);
    if (!target || ThroughLink(*target)) continue;
    targets.insert(*target);
    folders.insert(ParentOf(*target));
  }
  for (const std::string& folder : folders) {
    for (const platform::FolderEntry& e : platform::ListFolder(folder).value_or(std::vector<platform::FolderEntry>{})) {
      std::string path = folder + kSep + e.name;
      if (!e.isFolder && engine::IsInstallingName(e.name) && !targets.count(path)) platform::RemoveFile(path);
    }
  }
}

void Installer::Run() {
  RemoveLeftovers();
  while (InstallNextStep()) {
  }
}

bool Installer::Finish() {
  bool complete = !failed_ && currentIndex_ == stagedFiles_.size() && written_.empty() &&
                  installedBytes_.load() == totalBytes_;
  // The update log goes only once every rename is on the disk: without it
  // a power cut could take back a rename and leave that file staged with
  // no update log to install it. The folders the files went into go to the
  // disk before those they left: a staged name may go from the disk only
  // once the installed name is on it, or a power cut between the two could
  // lose the file.
  bool durable = true;
  for (const std::string& folder : renamedIn_) durable = (platform::FlushFolder(folder) || Failed(folder)) && durable;
  if (durable)
    for (const std::string& staged : linkedStaged_) durable = RemoveStaged(staged) && durable;
  linkedStaged_.clear();
  for (const std::string& folder : renamedOutOf_)
    durable = durable && (platform::FlushFolder(folder) || Failed(folder));
  renamedIn_.clear();
  renamedOutOf_.clear();
  if (!complete || !durable || StagingFolderIsLink()) return false;
  // What could never be installed stays where it is, and no later run
  // tries again.
  platform::RemoveFile(UpdateLogPath());
  RemoveEmptiedFolders();
  return unusable_.empty();
}

bool Installer::InstallNextStep() {
  if (failed_ || currentIndex_ >= stagedFiles_.size()) return false;
  bool ok = true;
  if (copying_) {
    ok = CopyBlock();
  } else if (!PrepareTarget()) {
    ok = false;
  } else if (MoveIntoPlace()) {
    ++currentIndex_;
    // Copied files still waiting for the disk go in with the last one.
    if (currentIndex_ == stagedFiles_.size() && !written_.empty()) ok = FlushWritten();
  } else {
    copying_ = true;
    ok = CopyBlock();
  }
  if (!ok) {
    StopAfterFailure();
    return false;
  }
  return currentIndex_ < stagedFiles_.size();
}

bool Installer::PrepareTarget() {
  const std::string& staged = stagedFiles_[currentIndex_];
  auto target = TargetPath(staged);
  if (!target || ThroughLink(*target)) return false;
  finalPath_ = *target;
  auto installed = platform::AttributesOf(finalPath_);
  replacingSelf_ = IsRunningProgram(finalPath_) && installed.has_value();
  // Nothing takes the place of a target no file can replace. (The updater's
  // own file is moved aside instead, which such a target refuses.)
  if (installed && (installed->isFolder || installed->isSpecial) && !replacingSelf_) return false;
  keep_ = platform::PermissionsOf(finalPath_);
  if (!engine::EnsureParentFolders(finalPath_)) return Failed(finalPath_);
  // The updater is replaced after the files copied before it are in.
  return !replacingSelf_ || written_.empty() || FlushWritten();
}

bool Installer::MoveIntoPlace() {
  const std::string& staged = stagedFiles_[currentIndex_];
  // The staged file takes what the installed one had before it takes its
  // place; programs stay programs.
  platform::File file = platform::File::Open(staged, platform::OpenMode::kRead);
  auto size = file.IsOpen() ? file.Size() : std::nullopt;
  if (!size) return false;
  // A change of the permissions is flushed before the rename: the rename
  // may reach the disk without it otherwise, and a power cut would leave
  // the new file in place with the staged file's bits (a program that
  // cannot be run).
  if (keep_) {
    auto now = platform::PermissionsOf(staged);
    bool same = now && now->mode == keep_->mode && now->owner == keep_->owner && now->group == keep_->group;
    if (!same && (!file.SetPermissions(*keep_) || !file.Flush())) return false;
  } else {
    char head[4];
    std::int64_t read = file.Read(head, sizeof head);
    if (read > 0 && BeginsLikeProgram(std::string_view(head, static_cast<std::size_t>(read))) &&
        (!file.MakeExecutable() || !file.Flush()))
      return false;
  }
  file.Close();
  if (!LinkIntoPlace(staged)) return false;
  renamedIn_.insert(ParentOf(finalPath_));
  renamedOutOf_.insert(ParentOf(staged));
  installedBytes_ += static_cast<std::uint32_t>(*size);
  return true;
}

bool Installer::LinkIntoPlace(const std::string& staged) {
  // The file takes its installed name while it keeps its staged one, which
  // goes only once the installed folder is on the disk. A plain rename
  // between two folders could reach the disk as two writes in either
  // order, and a power cut between them would lose the file: neither
  // staged nor installed.
  // The running updater's file is moved aside, not replaced.
  auto put = [&](const std::string& from) {
    return replacingSelf_ ? platform::ReplaceRunningProgram(from, finalPath_, settings::ParkedCopyPath(finalPath_))
                          : platform::MoveFileReplacing(from, finalPath_);
  };
  // Renaming a name onto another name of the same file (what an earlier
  // run cut short leaves) changes nothing and keeps both.
  auto dropIfKept = [](const std::string& name) {
    if (platform::Exists(name)) platform::RemoveFile(name);
  };
  std::string second = replacingSelf_ ? finalPath_ + kNewCopySuffix : engine::InstallingPath(finalPath_);
  platform::RemoveFile(second);
  // Where a running program's names cannot be deleted, the staged name of
  // the updater's new file could not go once a run cut short had started
  // it: it is renamed into place. (Such a system's renames between two
  // folders reach the disk in one step.)
  const bool rename = replacingSelf_ && platform::kRunningProgramNamesLocked;
  if (rename || !platform::LinkFile(staged, second)) {
    // A file system without second names: the rename is all there is.
    if (!put(staged)) return false;
    dropIfKept(staged);
    return true;
  }
  if (!put(second)) {
    platform::RemoveFile(second);
    return false;
  }
  dropIfKept(second);
  linkedStaged_.push_back(staged);
  return true;
}

bool Installer::OpenCopy() {
  const std::string& staged = stagedFiles_[currentIndex_];
  source_ = platform::File::Open(staged, platform::OpenMode::kRead);
  if (!source_.IsOpen()) return false;
  beginsLikeProgram_ = false;
  firstChunk_ = true;
  fileBytes_ = 0;
  copy_ = platform::DurableFile(finalPath_, replacingSelf_ ? finalPath_ + kNewCopySuffix
                                                           : engine::InstallingPath(finalPath_));
  // A file of this name is what a run that was cut short left.
  platform::RemoveFile(copy_.temporaryPath());
  return copy_.Create() || Failed(finalPath_);
}

bool Installer::FinishCopy() {
  // A read that came up short before the end of the file must not pass for
  // its end: the staged copy is deleted once the file is installed.
  if (source_.Size().value_or(~std::uint64_t{0}) != fileBytes_) return false;
  source_.Close();
  copying_ = false;
  // The installed file keeps what the one it replaces had; programs stay
  // programs. A file that cannot be given them is not installed: a program
  // without its run bits would not start.
  bool permitted = keep_ ? copy_.file().SetPermissions(*keep_) : !beginsLikeProgram_ || copy_.file().MakeExecutable();
  if (!permitted) return Failed(finalPath_);
  if (replacingSelf_) {
    // The running updater keeps a name of its own, which the next start
    // deletes, and the new file takes its place once it is on the disk.
    const std::string parked = settings::ParkedCopyPath(finalPath_);
    if (!copy_.CommitBy([&](const std::string& from, const std::string& to) {
          return platform::ReplaceRunningProgram(from, to, parked);
        }))
      return Failed(finalPath_);
    if (!platform::FlushFolder(ParentOf(finalPath_)) || !RemoveStaged(stagedFiles_[currentIndex_])) return false;
    ++currentIndex_;
    return true;
  }
  // The disk starts on it now; the batch waits for it later.
  copy_.file().StartFlush();
  writtenBytes_ += fileBytes_;
  written_.push_back({std::move(copy_), stagedFiles_[currentIndex_]});
  ++currentIndex_;
  if (currentIndex_ == stagedFiles_.size() || written_.size() >= kFlushBatchFiles ||
      writtenBytes_ >= kFlushBatchBytes)
    return FlushWritten();
  return true;
}

bool Installer::RemoveStaged(const std::string& staged) {
  // A staged copy left behind would be installed again by a later run.
  for (int attempt = 0; !platform::RemoveFile(staged); ++attempt) {
    if (attempt == kDeleteRetries) return Failed(staged);
    sleep_(kRetryPauseMs);
  }
  return true;
}

bool Installer::PutInPlace(platform::DurableFile& file) {
  for (int attempt = 0; !file.Commit(); ++attempt) {
    if (attempt == kDeleteRetries) return false;
    sleep_(kRetryPauseMs);
  }
  return true;
}

bool Installer::FlushWritten() {
  bool installed = true;
  std::vector<const Written*> placed;
  std::set<std::string> folders;
  for (Written& w : written_) {
    const std::string& target = w.file.finalPath();
    bool durable = w.file.MakeDurable() || Failed(target);
    if (durable && (PutInPlace(w.file) || Failed(target))) {
      placed.push_back(&w);
      folders.insert(ParentOf(target));
    } else {
      w.file.Discard();
      installed = false;
    }
  }
  // A staged copy goes only once its file's new name is on the disk.
  bool durable = true;
  for (const std::string& folder : folders) durable = platform::FlushFolder(folder) && durable;
  if (durable)
    for (const Written* w : placed) installed = RemoveStaged(w->stagedPath) && installed;
  written_.clear();
  writtenBytes_ = 0;
  return installed && durable;
}

void Installer::StopAfterFailure() {
  failed_ = true;
  copying_ = false;
  source_.Close();
  // The file in progress never takes its target's place; its staged copy
  // stays for the next run.
  copy_.Discard();
  FlushWritten();
}

bool Installer::CopyBlock() {
  if ((!source_.IsOpen() || !copy_.created()) && !OpenCopy()) return false;
  if (!block_) block_.reset(new std::uint8_t[kCopyBlock]);
  std::uint8_t* buffer = block_.get();
  std::int64_t copied = 0;
  bool whole = true;
  if (firstChunk_) {
    // The first block passes through here: its first bytes tell whether the
    // file is a program.
    firstChunk_ = false;
    std::int64_t read = source_.Read(buffer, kCopyBlock);
    if (read < 0) return false;
    beginsLikeProgram_ = BeginsLikeProgram(std::string_view(reinterpret_cast<const char*>(buffer),
                                                            static_cast<std::size_t>(read)));
    copied = read > 0 ? copy_.file().Write(buffer, static_cast<std::size_t>(read)) : 0;
    whole = copied == read;
  } else {
    copied = copy_.file().CopyFrom(source_, buffer, kCopyBlock);
    whole = copied >= 0;
  }
  if (copied > 0) {
    installedBytes_ += static_cast<std::uint32_t>(copied);
    fileBytes_ += static_cast<std::uint64_t>(copied);
  }
  if (!whole) return Failed(finalPath_);
  // The disk writes behind the copy of a large file rather than after it.
  if (copied > 0 && fileBytes_ % kWriteBehindBytes == 0) copy_.file().StartFlush();
  return static_cast<std::size_t>(copied) == kCopyBlock || FinishCopy();
}

}  // namespace installer
