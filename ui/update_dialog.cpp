#include "ui/update_dialog.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "base/ascii_text.h"
#include "base/number_text.h"
#include "base/text_format.h"
#include "build_config.h"
#include "engine/list_check.h"
#include "engine/version_probe.h"
#include "platform/files.h"
#include "settings/app_paths.h"
#include "settings/config_store.h"
#include "settings/failure_log.h"
#include "settings/string_catalog.h"
#include "ui/link_finder.h"

namespace ui {
namespace {

using engine::UpdateList;

// String ids of the window's texts.
enum TextId : std::uint32_t {
  kAbortLabel = 102,
  kDownloadLabel = 103,
  kCheckLabel = 104,
  kUpToDateHeadline = 105,
  kUpdatesHeadline = 106,
  kSucceededHeadline = 107,
  kCompletedHeadline = 113,
  kWindowSize = 114,
  kFontFace = 115,
  kFontHeight = 116,
  kCheckingHeadline = 117,
  kDownloadingHeadline = 118,
  kRestartMessage = 119,
  kDownloadPageMessage = 120,
  kSpeedFormat = 121,
  kCancelQuestion = 122,
  kCancelCaption = 123,
  kPressDownloadStatus = 124,
  kPressRetryStatus = 125,
  kDownloadAgainStatus = 126,
  kRetryLabel = 127,
  kHelpLabel = 128,
  kCloseLabel = 129,
  kRemainingJoin = 132,
  kOkLabel = 133,
  kCancelLabel = 134,
  kHelpMissingStatus = 135,
  kUnverifiedListMessage = 136,
  kNoRightsHeadline = 137,
  kNoRightsMessage = 138,
  kAdministratorCommandMessage = 139,
  kDiskFullHeadline = 140,
  kDiskFullMessage = 141,
  kRetryingStatus = 147,
};

constexpr std::uint32_t kResultHeadlines[] = {107, 105, 108, 109, 110, 111};

constexpr int kFallbackWindowHeight = 310;
constexpr int kMargin = 30;
constexpr int kMinButtonWidth = 95;
constexpr int kButtonHeight = 26;
constexpr int kLineHeight = 18;
constexpr int kSizeDisplayWidth = 150;
constexpr int kSizeDisplayGap = 10;  // between the status text and the sizes
constexpr int kMessageTop = 50;
constexpr int kMessageHeight = 120;
constexpr int kStatusTop = 185;
constexpr std::size_t kSizeTextLimit = 127;
constexpr std::size_t kHeadlineLimit = 255;
constexpr std::size_t kTickTextLimit = 255;
constexpr std::size_t kLinkLimit = 259;
constexpr std::int32_t kSampleTicks = 50;
constexpr double kSampleFactor = 0.2;  // a sample spans 5 seconds
constexpr int kLongestEstimateHours = 99;

std::string Cut(std::string text, std::size_t limit) {
  if (text.size() > limit) text.resize(limit);
  return text;
}

template <typename... Args>
std::string Printf(const char* format, Args... args) {
  char buffer[128];
  int n = std::snprintf(buffer, sizeof buffer, format, args...);
  return std::string(buffer, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

// The size still left to fetch shows exactly 1 Kb in bytes as well
// ("Remaining:  1024 bytes"); the total switches to Kb at 1024.
std::string SizeText(std::int32_t bytes, std::int32_t largestInBytes = 1023) {
  if (bytes <= largestInBytes) return Printf(" %d bytes", bytes);
  if (bytes < 1048576) return Printf(" %.2f Kb", bytes / 1024.0);
  return Printf(" %.2f Mb", bytes / 1048576.0);
}

// The digests of installed files that the check read, kept for the next one.
constexpr std::string_view kDigestCacheName = "Harbinor.digests";

// The running program's list: its configured server, its own folder, the
// versions of the files installed there, and the cache of their digests.
engine::ListContext ProcessListContext() {
  return engine::ListContext{settings::ServerBase(), settings::ApplicationFolder(), &engine::ProbeFileVersion,
                             settings::ConfigFilePath(kDigestCacheName), settings::ParallelTransfers()};
}

std::shared_ptr<UpdateList> CopyForWindow(const UpdateList& running, std::int32_t resultCode) {
  auto copy = std::make_shared<UpdateList>(running.context());
  for (const auto& item : running.items) {
    auto twin = std::make_unique<engine::UpdateItem>();
    twin->url = item->url;
    twin->md5 = item->md5;
    twin->version = item->version;
    twin->size = item->size;
    twin->sha256 = item->sha256;
    twin->comments = item->comments;
    twin->patch = item->patch;
    twin->installedPath = item->installedPath;
    twin->patchGaveWay = item->patchGaveWay.load();
    copy->items.push_back(std::move(twin));
  }
  copy->bytesTotal = running.bytesTotal.load();
  copy->bytesDone = running.bytesDone.load();
  copy->bytesPresent = running.bytesPresent.load();
  copy->runControl = running.runControl.load();
  copy->resultCode = resultCode;
  return copy;
}

}  // namespace

DialogServices::DialogServices(WindowSystem& windowSystem)
    : window(windowSystem),
      text([](std::uint32_t id) { return std::string(settings::GetText(id)); }),
      newList([] { return std::make_shared<UpdateList>(ProcessListContext()); }),
      startWorker(&engine::StartDownloadWorker),
      applicationFolder(settings::ApplicationFolder()),
      writeSetting([](std::string_view key, std::string_view value) { return settings::WriteSetting(key, value); }),
      readSetting([](std::string_view key) { return settings::ReadSetting(key); }),
      listPublicKey(HARBINOR_LIST_PUBLIC_KEY),
      utcNow(&platform::CurrentUtcTime),
      monotonicMs(&platform::MonotonicMs),
      fileExists([](const std::string& path) { return platform::Exists(path); }),
      checkAccess(&engine::CheckStagingAccess),
      logFailure(&settings::LogFailure) {}

UpdateDialog::UpdateDialog(DialogServices services) : services_(std::move(services)), window_(services_.window) {
  runKeyFilter_ = [this](Key key) { HandleRunKey(key); };
  window_.SetEventSink(this);
}

UpdateDialog::~UpdateDialog() {
  currentList_.reset();
  if (lastRunFailed_) services_.writeSetting(settings::kUpdateTimeKey, "");
  window_.SetEventSink(nullptr);
}

std::string UpdateDialog::Text(std::uint32_t id) const { return services_.text(id); }

bool UpdateDialog::WorkerRunning() const { return currentList_ && currentList_->workerActive.load(); }

bool UpdateDialog::WindowDestroyed() const { return window_.IsDestroyed(); }

bool UpdateDialog::InitWindow() {
  window_.SetTitle(kUpdateWindowTitle);
  window_.Enable(kMainButton, false);
  window_.Show(kSizeDisplay, false);
  window_.SetText(kHelpButton, Text(kHelpLabel));
  window_.SetText(kMainButton, Text(kDownloadLabel));
  window_.SetText(kCloseButton, Text(kCloseLabel));
  window_.SetMessageBoxLabels(Text(kOkLabel), Text(kCancelLabel));
  ApplyFont();
  LayoutControls();

  if (services_.fileExists(engine::UpdateLogPath(services_.applicationFolder))) {
    window_.Enable(kMainButton, false);
    window_.SetText(kMainButton, Text(kDownloadLabel));
    window_.SetText(kHeadline, Text(kCompletedHeadline));
    window_.SetText(kMessageArea, Text(kRestartMessage));
    finishedDownloadWaiting_ = true;
    if (silentMode_) window_.ShowWindow();
    return true;
  }
  window_.StartTimer(kAutoCheckTimer, kAutoCheckDelayMs);
  return true;
}

void UpdateDialog::SetSilentMode(bool silent) {
  silentMode_ = silent;
  // No check will run to decide: the window must be there to be closed.
  if (silent && finishedDownloadWaiting_) window_.ShowWindow();
}

void UpdateDialog::OnCommand(int id) {
  switch (id) {
    case kMainButton:
      OnMainButton();
      break;
    case kCloseButton:
      OnCloseRequest();
      break;
    case kHelpButton:
      OpenHelp();
      break;
    default:
      break;
  }
}

void UpdateDialog::OnTimer(int id) { OnProgressTick(id); }

void UpdateDialog::OnHelpRequest() { OpenHelp(); }

void UpdateDialog::HandleRunKey(Key key) {
  switch (key) {
    case Key::kTab:
    case Key::kRight:
      window_.MoveFocus(true);
      break;
    case Key::kLeft:
      window_.MoveFocus(false);
      break;
    case Key::kEnter: {
      int focused = window_.FocusedControl();
      if (!window_.IsEnabled(focused)) break;
      if (focused == kMainButton)
        OnMainButton();
      else if (focused == kCloseButton)
        OnCloseRequest();
      else if (focused == kHelpButton)
        OpenHelp();
      break;
    }
    default:
      break;  // Esc, F1 and every other key do nothing during a run
  }
}

void UpdateDialog::OnMainButton() {
  if (WorkerRunning()) {
    AbortRun();
    return;
  }
  if (downloadCompleted_) {
    window_.DestroyWindow();
    return;
  }
  if (!currentList_) {
    window_.Enable(kMainButton, false);
    int outcome = CheckForUpdates();
    services_.writeSetting(settings::kUpdateTimeKey, settings::DayNumberText(services_.utcNow()));
    if (outcome == kUpdatesFound) {
      window_.Enable(kMainButton, true);
      window_.Focus(kMainButton);
      window_.ShowWindow();
      if (std::exchange(downloadAtOnce_, false)) window_.PostCommand(kMainButton);
    } else {
      window_.SetText(kMainButton, Text(kCheckLabel));
      if (outcome == kUpToDate) {
        window_.Enable(kMainButton, false);
        window_.SetProgress(kCheckAnimationEnd);
      } else {
        window_.Enable(kMainButton, true);
        window_.SetText(kMainButton, Text(kRetryLabel));
        window_.SetProgress(0);
        currentList_.reset();
      }
      if (silentMode_) {
        window_.DestroyWindow();
        return;
      }
    }
  } else {
    if (!MayDownloadHere()) return;
    window_.SetText(kMainButton, Text(kAbortLabel));
    window_.SetText(kStatusLine, "");
    lastRunFailed_ = false;
    if (DownloadUpdates()) {
      window_.Enable(kMainButton, false);
      window_.SetText(kHeadline, Text(kCompletedHeadline));
      window_.SetText(kStatusLine, "");
      downloadCompleted_ = true;
    } else {
      window_.SetText(kMainButton, Text(kDownloadLabel));
      window_.SetText(kStatusLine, Text(kDownloadAgainStatus));
      lastRunFailed_ = true;
    }
    window_.SetText(kMainButton, Text(kDownloadLabel));
    window_.SetTitle(kUpdateWindowTitle);
  }
  if (closeWhenIdle_) window_.DestroyWindow();
}

int UpdateDialog::CheckForUpdates() {
  window_.SetText(kHeadline, Text(kCheckingHeadline));
  currentList_.reset();
  currentList_ = services_.newList();
  currentList_->AddUrlItem(currentList_->ListAddress());
  auto failed = [this](std::int32_t code, const std::string& message = std::string()) {
    currentList_.reset();
    ShowResultMessage(code);
    if (!message.empty()) window_.SetText(kMessageArea, message);
    if (code != engine::kUpToDate) {
      window_.SetText(kStatusLine, Text(kPressRetryStatus));
      window_.SetText(kMainButton, Text(kRetryLabel));
      lastRunFailed_ = true;
    }
    return code;
  };
  // A list address too long for its field cannot be asked for: that is a
  // failed check, not an empty list.
  if (currentList_->incomplete) return failed(engine::kFailed);

  if (!RunWorker()) {
    std::int32_t code = currentList_->resultCode.load();
    // A run that fails without a failure code was stopped.
    if (code == engine::kSucceeded) code = engine::kAborted;
    if (code != engine::kAborted) LogRunFailure("check", *currentList_);
    return failed(code);
  }

  std::shared_ptr<UpdateList> target = services_.newList();
  std::string_view document;
  if (!currentList_->items.empty()) {
    const engine::UpdateItem& request = *currentList_->items.front();
    if (request.body && request.bodyLength >= 0)
      document =
          std::string_view(reinterpret_cast<const char*>(request.body), static_cast<std::size_t>(request.bodyLength));
  }
  // Serials are kept per place (server base): a list taken from one tree
  // says nothing about the serials of another.
  const std::string serialKey = ListSerialKey(target->context().serverBase);
  const std::uint64_t highestSerial = HighestListSerial(serialKey);
  engine::CheckVerdict verdict =
      engine::JudgeListDocument(document, services_.listPublicKey, highestSerial, *target);
  if (verdict.outcome == engine::CheckOutcome::kRefused) {
    Log("check: the update list is refused: " +
        std::string(verdict.refusal == engine::ListTrust::kOlder        ? "older than one taken before"
                    : verdict.refusal == engine::ListTrust::kTrusted    ? "a listed file has no SHA-256"
                    : verdict.refusal == engine::ListTrust::kOtherPlace ? "not signed for this server base"
                                                                        : "not signed with the built-in key"));
    return failed(engine::kFailed, Text(kUnverifiedListMessage));
  }
  if (verdict.outcome == engine::CheckOutcome::kIncomplete) {
    Log("check: a listed file's address or path is too long for its field");
    return failed(engine::kFailed);
  }
  // A serial that cannot be remembered would let an older list back in at
  // the next check: such a check fails.
  if (verdict.acceptedSerial && *verdict.acceptedSerial > highestSerial &&
      !(services_.writeSetting && services_.writeSetting(serialKey, std::to_string(*verdict.acceptedSerial)))) {
    Log("check: the serial of the update list cannot be written to the settings (" + serialKey + ")");
    return failed(engine::kFailed);
  }
  if (verdict.outcome == engine::CheckOutcome::kNotAList) {
    currentList_.reset();
    ShowResultMessage(engine::kUpToDate);
    return kUpToDate;
  }
  const bool updates = verdict.outcome == engine::CheckOutcome::kUpdates;
  if (updates) {
    std::string message = verdict.introText + "\r\n";
    int number = 0;
    for (const auto& item : target->items) {
      for (const std::string& comment : item->comments) message += Printf("%d. ", ++number) + comment + "\r\n";
    }
    window_.SetText(kMessageArea, message);
  }
  currentList_.reset();

  int outcome = kUpToDate;
  std::int32_t position = 0;
  if (updates) {
    currentList_ = target;
    std::int32_t total = target->bytesTotal;
    std::string sizeText = SizeText(total);
    const std::int32_t stagedBytes = verdict.stagedBytes;
    if (stagedBytes != 0) {
      std::int64_t left = static_cast<std::int64_t>(total) - stagedBytes;
      sizeText += Text(kRemainingJoin) + SizeText(static_cast<std::int32_t>(left), 1024);
      if (total != 0)
        position = static_cast<std::int32_t>(static_cast<std::int64_t>(stagedBytes) * kCheckAnimationEnd / total);
    }
    sizeText = Cut(std::move(sizeText), kSizeTextLimit);
    window_.SetText(kHeadline, Cut(base::FormatWithText(Text(kUpdatesHeadline), sizeText), kHeadlineLimit));
    window_.SetText(kStatusLine, Text(kPressDownloadStatus));
    window_.SetText(kMainButton, Text(kDownloadLabel));
    outcome = kUpdatesFound;
  } else {
    target.reset();
    ShowResultMessage(engine::kUpToDate);
  }
  window_.SetProgress(position);
  return outcome;
}

bool UpdateDialog::DownloadUpdates() {
  window_.SetText(kHeadline, Text(kDownloadingHeadline));
  if (!currentList_) return false;
  tickCount_ = 0;
  lastSampleBytes_ = 0;
  currentList_->resultCode = 0;
  currentList_->bytesDone = 0;
  currentList_->bytesPresent = 0;

  window_.SetText(kSizeDisplay, "");
  window_.Show(kSizeDisplay, true);
  window_.SetText(kStatusLine, "");
  LayoutStatusRow();

  bool succeeded = RunWorker();

  window_.Show(kSizeDisplay, false);
  LayoutStatusRow();
  if (!succeeded) {
    std::int32_t code = currentList_->resultCode.load();
    if (code != engine::kAborted) LogRunFailure("download", *currentList_);
    if (code == engine::kCannotSave) {
      ShowSaveFailure(currentList_->saveCause, currentList_->saveFolder, "");
    } else {
      ShowResultMessage(code);
      window_.SetText(kMessageArea, Text(kDownloadPageMessage));
    }
    return false;
  }
  window_.SetText(kMessageArea, Text(kRestartMessage));
  return true;
}

void UpdateDialog::Log(const std::string& what) {
  if (services_.logFailure) services_.logFailure(what);
}

void UpdateDialog::LogRunFailure(const char* step, const UpdateList& list) {
  std::int32_t code = list.resultCode.load();
  std::string why = list.failureReason;
  if (why.empty() && code >= 0 && code <= engine::kCannotSave) why = Text(kResultHeadlines[code]);
  Log(std::string(step) + ": " + why);
}

bool UpdateDialog::MayDownloadHere() {
  if (!services_.checkAccess) return true;
  engine::FolderAccess access = services_.checkAccess(services_.applicationFolder);
  if (access.allowed) return true;
  std::string command;
  std::string why = access.folder + ": " + engine::FailureCauseText(access.cause);
  if (access.cause == platform::FailureCause::kNoRights && services_.runElevated) {
    // A copy with the rights takes the download over in a window of its
    // own; this one waits out of sight and ends with it.
    window_.HideWindow();
    platform::ElevatedRun run = services_.runElevated({kDownloadArgument});
    if (run.result == platform::ElevationResult::kEnded) {
      window_.DestroyWindow();
      return false;
    }
    window_.ShowWindow();
    bool unavailable = run.result == platform::ElevationResult::kUnavailable;
    if (unavailable && services_.administratorCommand) command = services_.administratorCommand({});
    why += unavailable ? "; no way to ask for administrator rights" : "; administrator rights refused";
  }
  // Nothing has been changed; the offer stands, for when the rights are there.
  Log("download: " + why);
  ShowSaveFailure(access.cause, access.folder, command);
  window_.SetText(kStatusLine, Text(kDownloadAgainStatus));
  lastRunFailed_ = true;
  return false;
}

void UpdateDialog::ShowSaveFailure(platform::FailureCause cause, const std::string& folder,
                                   const std::string& command) {
  switch (cause) {
    case platform::FailureCause::kNoRights: {
      std::string message = base::FormatWithText(Text(kNoRightsMessage), folder);
      if (!command.empty()) message += "\n\n" + base::FormatWithText(Text(kAdministratorCommandMessage), command);
      window_.SetText(kHeadline, Cut(Text(kNoRightsHeadline), kHeadlineLimit));
      window_.SetText(kMessageArea, message);
      break;
    }
    case platform::FailureCause::kDiskFull:
      window_.SetText(kHeadline, Cut(Text(kDiskFullHeadline), kHeadlineLimit));
      window_.SetText(kMessageArea, base::FormatWithText(Text(kDiskFullMessage), folder));
      break;
    default:
      ShowResultMessage(engine::kCannotSave);
      window_.SetText(kMessageArea, Text(kDownloadPageMessage));
      break;
  }
}

bool UpdateDialog::RunWorker() {
  if (!currentList_) return false;
  std::shared_ptr<UpdateList> running = currentList_;
  progressTotal_ = running->bytesTotal.load();
  window_.SetProgressRange(progressTotal_ != 0 ? progressTotal_ : kCheckAnimationEnd);
  window_.SetProgress(0);
  window_.StartTimer(kProgressTimer, kProgressPeriodMs);

  running->runControl = engine::kRun;
  if (!services_.startWorker(running)) {
    running->workerActive = false;
    running->resultCode = engine::kFailed;
  }
  while (running->workerActive.load()) {
    if (!window_.DispatchOne(&runKeyFilter_)) window_.WaitForEvents(kPumpIdleWaitMs);
  }
  window_.StopTimer(kProgressTimer);

  for (const std::string& fallback : running->TakePatchFallbacks()) Log("download: " + fallback);
  // After a give-up the window goes on with its copy of the list.
  const UpdateList& list = currentList_ ? *currentList_ : *running;
  std::int32_t result = list.resultCode.load();
  if (result == engine::kSucceeded && list.bytesTotal > 0) window_.SetProgress(list.bytesTotal);
  return result == engine::kSucceeded && list.runControl.load() != engine::kStop;
}

void UpdateDialog::AbortRun() {
  if (!currentList_) return;
  std::shared_ptr<UpdateList> running = currentList_;
  running->runControl = engine::kStop;
  running->resultCode = engine::kAborted;
  if (aborting_) return;  // the wait already under way covers this request

  aborting_ = true;
  std::int64_t start = services_.monotonicMs();
  for (;;) {
    if (!running->workerActive.load()) break;
    std::int64_t waited = services_.monotonicMs() - start;
    if (waited >= kStopWaitMs) break;
    if (!window_.DispatchOne(&runKeyFilter_))
      window_.WaitForEvents(static_cast<int>(std::min<std::int64_t>(kPumpIdleWaitMs, kStopWaitMs - waited)));
  }
  aborting_ = false;
  if (running->workerActive.load() && currentList_ == running) GiveUpWorker(engine::kAborted);
}

void UpdateDialog::GiveUpWorker(std::int32_t resultCode) {
  std::shared_ptr<UpdateList> running = currentList_;
  running->resultCode = resultCode;
  currentList_ = CopyForWindow(*running, resultCode);
  // Nobody waits for this worker any more: let it end as soon as it can.
  running->runControl = engine::kStop;
  running->workerActive = false;
}

std::string UpdateDialog::ListSerialKey(std::string_view place) {
  return std::string(settings::kListSerialKey) + "-" + engine::PlaceTag(place);
}

std::uint64_t UpdateDialog::HighestListSerial(const std::string& key) const {
  std::string text = services_.readSetting ? services_.readSetting(key) : std::string();
  std::uint64_t serial = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || serial > (UINT64_MAX - 9) / 10) return serial;
    serial = serial * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return serial;
}

void UpdateDialog::ShowResultMessage(std::int32_t resultCode) {
  if (resultCode < 0 || resultCode > engine::kCannotSave) return;
  window_.SetText(kHeadline, Text(kResultHeadlines[resultCode]));
}

void UpdateDialog::OnCloseRequest() {
  if (!WorkerRunning()) {
    window_.DestroyWindow();
    return;
  }
  std::shared_ptr<UpdateList> running = currentList_;
  std::int32_t control = running->runControl.load();
  running->runControl = engine::kHold;
  Answer answer = window_.AskOkCancel(Text(kCancelQuestion), Text(kCancelCaption), MessageIcon::kQuestion);
  running->runControl = control;
  if (answer != Answer::kOk) return;
  AbortRun();
  closeWhenIdle_ = true;
}

void UpdateDialog::OnProgressTick(int timerId) {
  if (timerId == kAutoCheckTimer) {
    window_.PostCommand(kMainButton);
    window_.StopTimer(kAutoCheckTimer);
    return;
  }
  if (timerId != kProgressTimer || !WorkerRunning()) return;
  UpdateList& list = *currentList_;

  if (list.bytesTotal != 0) {
    const std::int32_t total = list.bytesTotal.load();
    const std::int32_t done = list.bytesDone.load();
    if (total != progressTotal_) {
      progressTotal_ = total;
      window_.SetProgressRange(total);
    }
    std::string sizes = Printf("%.2f Mb / %.2f Mb", done / 1048576.0, total / 1048576.0);
    if (sizes != window_.Text(kSizeDisplay)) {
      window_.SetText(kSizeDisplay, sizes);
      LayoutStatusRow();
    }
    int percent = static_cast<int>(static_cast<std::int64_t>(done) * 100 / total);
    std::string title = Printf("%d%% - ", percent) + kUpdateWindowTitle;
    if (title != window_.Title()) window_.SetTitle(title);

    if (tickCount_ < kSampleTicks) {
      ++tickCount_;
    } else {
      const std::int64_t transferred = static_cast<std::int64_t>(done) - list.bytesPresent.load();
      const double speed = static_cast<double>(transferred - lastSampleBytes_) * kSampleFactor;
      std::string text = base::FormatWithNumber(Text(kSpeedFormat), speed / 1024);
      if (list.retrying.load() > 0) {
        text = Text(kRetryingStatus);
      } else if (speed < 1.0) {
        text += " ??";
      } else {
        // Header bytes can put bytesDone a little past the total for a moment.
        const double seconds = std::max(0.0, (static_cast<double>(total) - done) / speed);
        const std::int64_t hours = static_cast<std::int64_t>(seconds / 3600);
        if (hours > kLongestEstimateHours) {
          text += " ??";
        } else {
          const std::int64_t s = static_cast<std::int64_t>(seconds);
          text += Printf(" %.2d:%.2d:%.2d", static_cast<int>(hours), static_cast<int>(s % 3600 / 60),
                         static_cast<int>(s % 60));
        }
      }
      window_.SetText(kStatusLine, Cut(std::move(text), kTickTextLimit));
      LayoutStatusRow();
      tickCount_ = 0;
      lastSampleBytes_ = static_cast<std::int32_t>(transferred);
    }
    window_.SetProgress(done);
    return;
  }

  if (list.runControl.load() == engine::kHold) return;
  std::int32_t position = window_.Progress();
  window_.SetProgress(std::min(position + 1, kCheckAnimationEnd));
  if (position >= kCheckAnimationEnd) GiveUpWorker(engine::kCannotConnect);
}

void UpdateDialog::ApplyFont() {
  if (!fontChosen_) {
    fontFace_ = Text(kFontFace);
    fontHeight_ = base::ParseAtoi(Text(kFontHeight));
    fontChosen_ = true;
  }
  window_.SetFont(fontFace_, fontHeight_);
}

void UpdateDialog::LayoutControls() {
  std::string size = Text(kWindowSize);
  std::size_t comma = size.find(',');
  int outerHeight = comma == std::string::npos ? kFallbackWindowHeight
                                               : base::ParseAtoi(std::string_view(size).substr(comma + 1));
  window_.ResizeWindow({base::ParseAtoi(size), outerHeight});

  Rect headline = window_.Placement(kHeadline);
  window_.Move(kHeadline, {kMargin, 25, headline.width, headline.height});

  const Size client = window_.ClientSize();
  const int w = client.width;
  const int h = client.height;
  window_.Move(kMessageArea, {kMargin, kMessageTop, w - 2 * kMargin, kMessageHeight});
  window_.Move(kProgressBar, {kMargin, 205, w - 2 * kMargin, kLineHeight});
  window_.Move(kSizeDisplay, {w - kMargin - kSizeDisplayWidth, kStatusTop, kSizeDisplayWidth, kLineHeight});
  window_.Move(kStatusLine, {kMargin, kStatusTop, w - 2 * kMargin, kLineHeight});

  int right = w;
  for (int button : {kCloseButton, kMainButton, kHelpButton}) {
    int width = std::max(window_.MeasureText(button).width + 10, kMinButtonWidth);
    int left = right - kMargin - width;
    window_.Move(button, {left, h - 42, width, kButtonHeight});
    right = left;
  }
}

// Outside a download the status line has the whole row. During one, the
// sizes sit at its right in the width their text needs (at least 150
// pixels) and the status line has the rest; when the two texts do not fit
// side by side (long texts, as in German), the sizes move up a row, which
// the message area gives up, and the status line has the whole row.
void UpdateDialog::LayoutStatusRow() {
  const int w = window_.ClientSize().width;
  const int row = w - 2 * kMargin;
  Rect message{kMargin, kMessageTop, row, kMessageHeight};
  Rect status{kMargin, kStatusTop, row, kLineHeight};
  Rect sizes{w - kMargin - kSizeDisplayWidth, kStatusTop, kSizeDisplayWidth, kLineHeight};
  if (window_.IsShown(kSizeDisplay)) {
    sizes.width = std::max(window_.MeasureText(kSizeDisplay).width + kSizeDisplayGap, kSizeDisplayWidth);
    sizes.left = w - kMargin - sizes.width;
    if (window_.MeasureText(kStatusLine).width <= row - sizes.width) {
      status.width = row - sizes.width;
    } else {
      message.height -= kLineHeight;
      sizes.top = kStatusTop - kLineHeight;
    }
  }
  for (auto [control, place] : {std::pair{kMessageArea, message}, {kStatusLine, status}, {kSizeDisplay, sizes}})
    if (window_.Placement(control) != place) window_.Move(control, place);
}

void UpdateDialog::OpenHelp() {
  if (services_.applicationFolder.empty()) return;
  std::string helpFile = services_.applicationFolder + kHelpFileName;
  // Without the file the viewer would show nothing at all; say why instead.
  if (!services_.fileExists(helpFile)) {
    window_.SetText(kStatusLine, Text(kHelpMissingStatus));
    return;
  }
  window_.OpenHelpTopic(helpFile, kHelpTopic);
}

void UpdateDialog::OnLinkClicked(std::string_view link) {
  std::string target = LinkTarget(link);
  if (target.empty()) return;
  // A long link is cut to 259 characters of its text, as the message area
  // hands over no more.
  std::size_t added = target.size() - link.size();
  window_.OpenLink(std::string_view(target).substr(0, kLinkLimit + added));
}

}  // namespace ui
