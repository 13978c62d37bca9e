#include "installer/install_dialog.h"

#include <algorithm>
#include <system_error>

#include "engine/staging.h"
#include "platform/clock.h"
#include "platform/facts.h"
#include "settings/app_paths.h"
#include "base/ascii_text.h"
#include "base/text_format.h"
#include "settings/failure_log.h"
#include "settings/string_catalog.h"

namespace installer {
namespace {

constexpr char kSep = platform::kPathSeparator;
constexpr std::uint32_t kFailureText = 131;
constexpr std::uint32_t kFailureCaption = 130;
constexpr std::uint32_t kOkLabel = 133;
constexpr std::uint32_t kCancelLabel = 134;
constexpr std::uint32_t kAdministratorCommandText = 139;
constexpr std::uint32_t kNoRightsToInstallText = 142;
constexpr std::uint32_t kFileNoRightsText = 143;
constexpr std::uint32_t kFileDiskFullText = 144;
constexpr std::uint32_t kFileInUseText = 145;
constexpr std::uint32_t kStartWithoutUpdateText = 146;
// Beside the installed updater while its new copy is written.
constexpr const char* kNewCopySuffix = ".new~";

bool IsUpdaterFile(std::string_view path) {
  return base::EqualsIgnoringCase(settings::FileNameOf(path), platform::kUpdaterFileName);
}

std::string ParentOf(const std::string& path) {
  std::size_t sep = path.find_last_of(kSep);
  return sep == std::string::npos || sep == 0 ? std::string() : path.substr(0, sep);
}

// Removes the folders below `folder`, and `folder` itself, that the copy left
// empty (such as "Language"); a folder that still holds anything stays.
void RemoveEmptiedFolders(const std::string& folder) {
  for (const platform::FolderEntry& e : platform::ListFolder(folder).value_or(std::vector<platform::FolderEntry>{}))
    if (e.isFolder && !e.isSymlink) RemoveEmptiedFolders(folder + kSep + e.name);
  platform::RemoveFolder(folder);
}

}  // namespace

InstallServices::InstallServices()
    : applicationFolder(settings::ApplicationFolder()),
      text([](std::uint32_t id) { return std::string(settings::GetText(id)); }),
      sleep(&platform::SleepMs),
      checkAccess(&engine::CheckStagingAccess),
      logFailure(&settings::LogFailure) {}

InstallDialog::InstallDialog(ui::WindowSystem& window, InstallServices services)
    : window_(window), services_(std::move(services)) {}

InstallDialog::~InstallDialog() {
  if (worker_.joinable()) worker_.join();
  window_.SetEventSink(nullptr);
}

std::string InstallDialog::StagingFolder() const {
  return engine::StagingFolderPath(services_.applicationFolder) + kSep;
}

std::string InstallDialog::UpdateLogPath() const { return engine::UpdateLogPath(services_.applicationFolder); }

bool InstallDialog::IsUpdatePending() const { return platform::Exists(UpdateLogPath()); }

DialogResult InstallDialog::RunModal() {
  window_.SetEventSink(this);
  window_.SetTitle(kInstallTitle);
  InitWindow();
  if (!result_) {
    window_.ShowWindow();
    window_.RunMessageLoop();
  }
  if (worker_.joinable()) worker_.join();
  return result_.value_or(DialogResult::kCancel);
}

void InstallDialog::End(DialogResult result) {
  result_ = result;
  window_.DestroyWindow();
}

bool InstallDialog::InitWindow() {
  window_.SetMessageBoxLabels(services_.text(kOkLabel), services_.text(kCancelLabel));
  if (!IsUpdatePending()) {
    // A run cut short after deleting the update log left the folders it was
    // about to remove; they go now. Staged files stay where they are.
    RemoveEmptiedFolders(engine::StagingFolderPath(services_.applicationFolder));
    End(DialogResult::kOk);
    return true;
  }
  if (!MayInstallHere()) return true;
  totalBytes_ = CollectStagedFiles(StagingFolder());
  if (!CheckTargetsWritable()) return true;
  window_.SetProgressRange(static_cast<std::int32_t>(std::min<std::uint32_t>(totalBytes_, INT32_MAX)));
  window_.SetProgress(0);
  copiedBytes_ = 0;
  window_.StartTimer(kInstallTimer, kInstallTimerMs);
  try {
    worker_ = std::thread([this] { RunCopy(); });
  } catch (const std::system_error&) {
    // Nothing has been copied; the staged files stay for the next run.
    window_.StopTimer(kInstallTimer);
    End(DialogResult::kCancel);
  }
  return true;
}

std::uint32_t InstallDialog::CollectStagedFiles(const std::string& folder) {
  auto entries = platform::ListFolder(folder);
  if (!entries) return 0;
  std::string prefix = folder;
  if (prefix.empty() || prefix.back() != kSep) prefix.push_back(kSep);
  std::uint32_t sum = 0;
  for (const platform::FolderEntry& e : *entries) {
    // Every listed file is installed, whatever its name ("." and ".."
    // aside); only the download worker's own temporary files stay behind.
    if (e.name.empty() || e.name == "." || e.name == ".." || e.isSymlink) continue;
    if (!e.isFolder && engine::IsWorkerTemporaryName(e.name)) continue;
    std::string path = prefix + e.name;
    if (e.isFolder) {
      sum += CollectStagedFiles(path);
      continue;
    }
    if (base::EqualsIgnoringCase(e.name, engine::kUpdateLogName)) continue;
    if (e.isSpecial) {
      // It has no bytes to copy: it can never be installed.
      unusable_.push_back(std::move(path));
      continue;
    }
    sum += static_cast<std::uint32_t>(e.size);
    stagedFiles_.push_back(std::move(path));
  }
  return sum;
}

std::optional<std::string> InstallDialog::TargetPath(const std::string& stagedPath) const {
  const std::string staging = engine::StagingFolderPath(services_.applicationFolder);
  if (stagedPath.size() <= staging.size() + 1 || stagedPath.compare(0, staging.size(), staging) != 0 ||
      stagedPath[staging.size()] != kSep)
    return std::nullopt;
  std::string folder = services_.applicationFolder;
  if (!folder.empty() && folder.back() == kSep) folder.pop_back();
  return folder + stagedPath.substr(staging.size());
}

bool InstallDialog::ThroughLink(const std::string& target) const {
  const std::string& base = services_.applicationFolder;
  if (target.compare(0, base.size(), base) != 0) return true;
  for (std::size_t end = base.size();; ++end) {
    end = target.find(kSep, end);
    auto attributes = platform::AttributesOf(target.substr(0, end));
    if (!attributes) return false;  // nothing beyond exists yet
    if (attributes->isSymlink) return true;
    if (end == std::string::npos) return false;
  }
}

bool InstallDialog::FolderTakesNewFiles(const std::string& target) {
  // The nearest folder that exists; the copy creates the folders below it.
  std::string folder = ParentOf(target);
  while (!folder.empty() && !platform::Exists(folder)) folder = ParentOf(folder);
  if (folder.empty() || !platform::IsFolder(folder)) return false;
  // A folder that took a probe takes the next new file too.
  if (probedFolders_.count(folder)) return true;
  std::string probe = folder == ParentOf(target) ? InstallingPath(target) : folder + kSep + "~@test@~.dat";
  platform::RemoveFile(probe);
  platform::File f = platform::File::Open(probe, platform::OpenMode::kCreateNew);
  if (!f.IsOpen()) return false;
  f.Close();
  platform::RemoveFile(probe);
  probedFolders_.insert(folder);
  return true;
}

bool InstallDialog::TargetWritable(const std::string& target) {
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
      services_.sleep(kRetryPauseMs);
    }
  }
  // The new file is made beside the target and renamed over it.
  return FolderTakesNewFiles(target) || Failed(target);
}

bool InstallDialog::Failed(const std::string& path) {
  platform::FailureCause cause = platform::LastFailureCause();
  if (!failedCause_) {
    failedPath_ = path;
    failedCause_ = cause;
  }
  return false;
}

void InstallDialog::EndWithFailure() {
  std::string text = services_.text(kFailureText);
  std::uint32_t why = 0;
  switch (failedCause_.value_or(platform::FailureCause::kOther)) {
    case platform::FailureCause::kNoRights: why = kFileNoRightsText; break;
    case platform::FailureCause::kDiskFull: why = kFileDiskFullText; break;
    case platform::FailureCause::kInUse: why = kFileInUseText; break;
    case platform::FailureCause::kOther: break;
  }
  if (why) text = base::FormatWithText(services_.text(why), failedPath_) + "\n\n" + text;
  std::string logged = "a staged file could not be installed";
  if (failedCause_) {
    logged = failedPath_ + ": " + engine::FailureCauseText(*failedCause_);
  } else if (!unusable_.empty()) {
    logged = unusable_.front() + ": not a file, left in the staging folder";
  }
  if (services_.logFailure) services_.logFailure("install: " + logged);
  ui::Answer answer = window_.AskOkCancel(text, services_.text(kFailureCaption), ui::MessageIcon::kExclamation);
  End(answer == ui::Answer::kOk ? DialogResult::kOk : DialogResult::kCancel);
}

bool InstallDialog::MayInstallHere() {
  // A copy that cannot ask for more rights goes on; what it cannot change
  // is reported file by file.
  if (!services_.checkAccess || !services_.runElevated) return true;
  engine::FolderAccess access = services_.checkAccess(services_.applicationFolder);
  if (access.allowed || access.cause != platform::FailureCause::kNoRights) return true;
  platform::ElevatedRun run = services_.runElevated({kInstallArgument});
  if (run.result == platform::ElevationResult::kEnded) {
    End(run.exitCode == 0 ? DialogResult::kOk : DialogResult::kCancel);
    return false;
  }
  // The rights were refused, or cannot be asked for here: nothing has been
  // touched, and the update waits for the next install run.
  if (services_.logFailure)
    services_.logFailure("install: " + access.folder + ": no permission; " +
                         (run.result == platform::ElevationResult::kRefused ? "administrator rights refused"
                                                                            : "no way to ask for administrator rights"));
  std::string text = base::FormatWithText(services_.text(kNoRightsToInstallText), access.folder);
  if (run.result == platform::ElevationResult::kUnavailable && services_.administratorCommand)
    text += "\n\n" + base::FormatWithText(services_.text(kAdministratorCommandText),
                                          services_.administratorCommand({kInstallArgument}));
  text += "\n\n" + services_.text(kStartWithoutUpdateText);
  ui::Answer answer = window_.AskOkCancel(text, services_.text(kFailureCaption), ui::MessageIcon::kExclamation);
  End(answer == ui::Answer::kOk ? DialogResult::kOk : DialogResult::kCancel);
  return false;
}

bool InstallDialog::CheckTargetsWritable() {
  for (const std::string& staged : stagedFiles_) {
    auto target = TargetPath(staged);
    // The updater's own file is moved aside, never overwritten.
    if (target && (IsUpdaterFile(staged) ? !ThroughLink(*target) : TargetWritable(*target))) continue;
    EndWithFailure();
    return false;
  }
  return true;
}

void InstallDialog::RemoveLeftovers() {
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

void InstallDialog::RunCopy() {
  RemoveLeftovers();
  while (CopyNextChunk()) {
  }
  copyComplete_ = !failed_ && currentIndex_ == stagedFiles_.size() && written_.empty();
  // The worker's last touch of the window: its end is taken up on the
  // window's thread at once.
  window_.PostCommand(kCopyFinishedCommand);
}

bool InstallDialog::OpenNextFile() {
  const std::string& staged = stagedFiles_[currentIndex_];
  source_ = platform::File::Open(staged, platform::OpenMode::kRead);
  if (!source_.IsOpen()) return false;
  auto target = TargetPath(staged);
  if (!target || ThroughLink(*target)) return false;
  finalPath_ = *target;
  auto installed = platform::AttributesOf(finalPath_);
  replacingSelf_ = IsUpdaterFile(finalPath_) && installed.has_value();
  // Nothing is written for a target no file can replace. (The updater's own
  // file is moved aside instead, which such a target refuses.)
  if (installed && (installed->isFolder || installed->isSpecial) && !replacingSelf_) return false;
  keep_ = platform::PermissionsOf(finalPath_);
  beginsLikeProgram_ = false;
  firstChunk_ = true;
  fileBytes_ = 0;
  writtenPath_ = replacingSelf_ ? finalPath_ + kNewCopySuffix : InstallingPath(finalPath_);
  if (!engine::EnsureParentFolders(writtenPath_)) return Failed(finalPath_);
  // A file of this name is what a run that was cut short left.
  platform::RemoveFile(writtenPath_);
  target_ = platform::File::Open(writtenPath_, platform::OpenMode::kCreateNew);
  ownsWrittenPath_ = target_.IsOpen();
  return ownsWrittenPath_ || Failed(finalPath_);
}

bool InstallDialog::FinishFile() {
  // A read that came up short before the end of the file must not pass for
  // its end: the staged copy is deleted once the file is installed.
  if (source_.Size().value_or(~std::uint64_t{0}) != fileBytes_) return false;
  source_.Close();
  // The installed file keeps what the one it replaces had; programs stay
  // programs.
  if (keep_) {
    target_.SetPermissions(*keep_);
  } else if (beginsLikeProgram_) {
    target_.MakeExecutable();
  }
  if (replacingSelf_) {
    // The running updater keeps a name of its own, which the next start
    // deletes, and the new file takes its place once it is on the disk.
    bool durable = target_.Flush() || Failed(finalPath_);
    target_.Close();
    if (!durable || !FlushWritten() ||
        !platform::ReplaceRunningProgram(writtenPath_, finalPath_, settings::ParkedCopyPath(finalPath_)))
      return Failed(finalPath_);
    ownsWrittenPath_ = false;
    if (!platform::FlushFolder(ParentOf(finalPath_))) return false;
    platform::RemoveFile(stagedFiles_[currentIndex_]);
    ++currentIndex_;
    return true;
  }
  // The disk starts on it now; the batch waits for it later.
  target_.StartFlush();
  writtenBytes_ += fileBytes_;
  written_.push_back({std::move(target_), writtenPath_, finalPath_, stagedFiles_[currentIndex_]});
  ownsWrittenPath_ = false;
  ++currentIndex_;
  if (currentIndex_ == stagedFiles_.size() || written_.size() >= kFlushBatchFiles ||
      writtenBytes_ >= kFlushBatchBytes)
    return FlushWritten();
  return true;
}

bool InstallDialog::PutInPlace(const std::string& from, const std::string& to) {
  for (int attempt = 0; !platform::MoveFileReplacing(from, to); ++attempt) {
    if (attempt == kDeleteRetries) return false;
    services_.sleep(kRetryPauseMs);
  }
  return true;
}

bool InstallDialog::FlushWritten() {
  bool installed = true;
  std::vector<const Written*> placed;
  std::set<std::string> folders;
  for (Written& w : written_) {
    bool durable = w.file.Flush() || Failed(w.finalPath);
    w.file.Close();
    if (durable && (PutInPlace(w.writtenPath, w.finalPath) || Failed(w.finalPath))) {
      placed.push_back(&w);
      folders.insert(ParentOf(w.finalPath));
    } else {
      platform::RemoveFile(w.writtenPath);
      installed = false;
    }
  }
  // A staged copy goes only once its file's new name is on the disk.
  bool durable = true;
  for (const std::string& folder : folders) durable = platform::FlushFolder(folder) && durable;
  if (durable)
    for (const Written* w : placed) platform::RemoveFile(w->stagedPath);
  written_.clear();
  writtenBytes_ = 0;
  return installed && durable;
}

void InstallDialog::StopAfterFailure() {
  failed_ = true;
  source_.Close();
  target_.Close();
  // The file in progress never takes its target's place; its staged copy
  // stays for the next run.
  if (ownsWrittenPath_) platform::RemoveFile(writtenPath_);
  ownsWrittenPath_ = false;
  FlushWritten();
}

bool InstallDialog::CopyNextChunk() {
  if (failed_ || currentIndex_ >= stagedFiles_.size()) return false;
  if (!CopyBlock()) {
    StopAfterFailure();
    return false;
  }
  return currentIndex_ < stagedFiles_.size();
}

bool InstallDialog::CopyBlock() {
  if ((!source_.IsOpen() || !target_.IsOpen()) && !OpenNextFile()) return false;
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
    std::string_view head(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(read));
    beginsLikeProgram_ = head.substr(0, 4) == "\x7F" "ELF" || head.substr(0, 2) == "#!";
    copied = read > 0 ? target_.Write(buffer, static_cast<std::size_t>(read)) : 0;
    whole = copied == read;
  } else {
    copied = target_.CopyFrom(source_, buffer, kCopyBlock);
    whole = copied >= 0;
  }
  if (copied > 0) {
    copiedBytes_ += static_cast<std::uint32_t>(copied);
    fileBytes_ += static_cast<std::uint64_t>(copied);
  }
  if (!whole) return Failed(finalPath_);
  // The disk writes behind the copy of a large file rather than after it.
  if (copied > 0 && fileBytes_ % kWriteBehindBytes == 0) target_.StartFlush();
  return static_cast<std::size_t>(copied) == kCopyBlock || FinishFile();
}

void InstallDialog::OnTimer(int id) {
  if (id != kInstallTimer) return;
  window_.SetProgress(static_cast<std::int32_t>(std::min<std::uint32_t>(copiedBytes_.load(), INT32_MAX)));
}

void InstallDialog::OnCommand(int id) {
  // Enter, Esc and the close box do nothing: only the end of the copy ends
  // the window.
  if (id == kCopyFinishedCommand) OnCopyFinished();
}

void InstallDialog::OnCopyFinished() {
  window_.StopTimer(kInstallTimer);
  if (worker_.joinable()) worker_.join();
  window_.SetProgress(static_cast<std::int32_t>(std::min<std::uint32_t>(copiedBytes_.load(), INT32_MAX)));
  if (copyComplete_.load() && copiedBytes_.load() == totalBytes_) {
    // The update is in; what could never be installed stays where it is,
    // and no later run tries again.
    platform::RemoveFile(UpdateLogPath());
    RemoveEmptiedFolders(engine::StagingFolderPath(services_.applicationFolder));
    if (unusable_.empty()) {
      End(DialogResult::kOk);
      return;
    }
  }
  // Otherwise the staged copies not installed stay, with the update log, for
  // the next run.
  EndWithFailure();
}

}  // namespace installer
