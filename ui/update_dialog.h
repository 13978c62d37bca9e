// The update window's logic. It checks for updates by itself 300 ms after it
// opens, shows what is new and how large it is, downloads on request and
// shows the progress, and lets the user abort, close, open the help topic and
// open the links of its message area. It sees the screen only through a
// WindowSystem and receives the screen's events as its WindowEvents sink.
//
// A run (a check or a download) starts the download worker on a thread of its
// own and pumps the window's events until the worker ends; commands, timers
// and the key rules of a run are handled inside that pump. The window and the
// worker share the run's UpdateList through a shared_ptr. When the window
// stops waiting for a worker that has not ended (5 s after a stop request, or
// the check's 20-second limit), it goes on with a copy of the list, so the
// worker keeps the original to itself and never meets a second worker.
//
// Everything the window needs from the rest of the program comes through
// DialogServices, so that tests can drive it with a scripted window, virtual
// time and a scripted worker. The WindowSystem must outlive the dialog.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "engine/download_worker.h"
#include "engine/update_list.h"
#include "platform/clock.h"
#include "platform/elevation.h"
#include "ui/window_system.h"

namespace ui {

inline constexpr const char* kUpdateWindowTitle = "Update Tolvaro DVD";
inline constexpr int kProgressTimer = 1500;
inline constexpr int kAutoCheckTimer = 1501;
inline constexpr int kAutoCheckDelayMs = 300;
inline constexpr int kProgressPeriodMs = 100;
inline constexpr int kStopWaitMs = 5000;
inline constexpr int kPumpIdleWaitMs = 10;
inline constexpr std::int32_t kCheckAnimationEnd = 200;
inline constexpr const char* kHelpFileName = "help.chm";
inline constexpr const char* kHelpTopic = "/htm/chap00-2.htm";
// The argument that tells a copy started with administrator rights to
// download as soon as its check has found updates.
inline constexpr const char* kDownloadArgument = "--download";

// Outcomes of CheckForUpdates; 2 to 5 are the failed run's resultCode.
inline constexpr int kUpdatesFound = 0;
inline constexpr int kUpToDate = 1;

struct DialogServices {
  // Fills in the running program's own services.
  explicit DialogServices(WindowSystem& windowSystem);

  WindowSystem& window;
  // The text for a string id.
  std::function<std::string(std::uint32_t id)> text;
  // A new, empty update list (the process's server base and folders).
  std::function<std::shared_ptr<engine::UpdateList>()> newList;
  // Starts the download worker on the list; false when no thread started.
  std::function<bool(std::shared_ptr<engine::UpdateList>)> startWorker;
  // Ends with the path separator; holds the help file and the staging folder.
  std::string applicationFolder;
  std::function<bool(std::string_view key, std::string_view value)> writeSetting;
  std::function<std::string(std::string_view key)> readSetting;
  // The key update lists must be signed with (64 hexadecimal digits); empty:
  // lists are taken unsigned.
  std::string listPublicKey;
  std::function<platform::UtcTime()> utcNow;
  // Milliseconds from an arbitrary start; bounds the wait after a stop.
  std::function<std::int64_t()> monotonicMs;
  std::function<bool(const std::string& path)> fileExists;
  // Whether this copy may change what a download changes (the application
  // folder and its staging folder), asked before every download.
  std::function<engine::FolderAccess(const std::string& applicationFolder)> checkAccess;
  // Runs a copy of the program with administrator rights for one step,
  // given by its arguments, and waits for it. Empty where no copy is to be
  // asked for: in the tests, and in a copy that has the rights already.
  std::function<platform::ElevatedRun(const std::vector<std::string>& step)> runElevated;
  // The command an administrator could run by hand for that step.
  std::function<std::string(const std::vector<std::string>& step)> administratorCommand;
  // Writes one line to the failure log (Harbinor.log): what failed and why.
  std::function<void(std::string_view what)> logFailure;
};

class UpdateDialog : public WindowEvents {
 public:
  explicit UpdateDialog(DialogServices services);
  ~UpdateDialog() override;
  UpdateDialog(const UpdateDialog&) = delete;
  UpdateDialog& operator=(const UpdateDialog&) = delete;

  // Labels, lays out and arms the window; runs once, while it is hidden.
  bool InitWindow();
  // Silent check mode: the window shows itself only when updates are found
  // (or when a finished download waits, so that it can be closed), and is
  // destroyed unshown when the check finds nothing or fails.
  void SetSilentMode(bool silent);
  // The download starts by itself once the check has found updates (in the
  // copy that took a download over with administrator rights).
  void SetDownloadAtOnce(bool atOnce) { downloadAtOnce_ = atOnce; }
  bool silentMode() const { return silentMode_; }
  // Whether the window has been destroyed; the program then ends.
  bool WindowDestroyed() const;

  void OnMainButton();
  // 0 updates found, 1 up to date, 2 to 5 failed with that resultCode.
  int CheckForUpdates();
  bool DownloadUpdates();
  // True when the worker ended with resultCode 0 and no stop was asked. A
  // worker that cannot be started fails the run with resultCode 4.
  bool RunWorker();
  void AbortRun();
  void ShowResultMessage(std::int32_t resultCode);
  // The highest serial of a signed list taken so far (0 before the first).
  // The settings key of the highest list serial taken from `place`.
  static std::string ListSerialKey(std::string_view place);
  std::uint64_t HighestListSerial(const std::string& key) const;
  void OnCloseRequest();
  void OnProgressTick(int timerId);
  void ApplyFont();
  void LayoutControls();
  // Places the status line and the size display during a download so that
  // both texts are shown whole (see update_dialog.cpp).
  void LayoutStatusRow();
  void OpenHelp();

  // WindowEvents.
  void OnCommand(int id) override;
  void OnTimer(int id) override;
  void OnHelpRequest() override;
  // Opens only the links of the shared link finder (web and mail addresses,
  // "www." names as http://), cut to 259 characters of their text; anything
  // else is ignored.
  void OnLinkClicked(std::string_view link) override;

  const std::shared_ptr<engine::UpdateList>& currentList() const { return currentList_; }
  bool downloadCompleted() const { return downloadCompleted_; }
  bool closeWhenIdle() const { return closeWhenIdle_; }
  bool lastRunFailed() const { return lastRunFailed_; }

 private:
  std::string Text(std::uint32_t id) const;
  void HandleRunKey(Key key);
  bool WorkerRunning() const;
  void GiveUpWorker(std::int32_t resultCode);
  // Whether the download may go on in this copy; otherwise it has been
  // handed to a copy with administrator rights, or the window says why not.
  bool MayDownloadHere();
  void Log(const std::string& what);
  // The failure log's line for a run that failed: its reason, or the
  // headline of its result when it left none.
  void LogRunFailure(const char* step, const engine::UpdateList& list);
  // Why nothing (more) could be saved, in which folder; `command` is what an
  // administrator could run instead, when there is no other way.
  void ShowSaveFailure(platform::FailureCause cause, const std::string& folder, const std::string& command);

  DialogServices services_;
  WindowSystem& window_;
  WindowSystem::KeyFilter runKeyFilter_;
  std::shared_ptr<engine::UpdateList> currentList_;
  bool fontChosen_ = false;
  std::string fontFace_;
  int fontHeight_ = 0;
  bool silentMode_ = false;
  bool downloadCompleted_ = false;
  bool closeWhenIdle_ = false;
  bool lastRunFailed_ = false;
  bool finishedDownloadWaiting_ = false;
  bool aborting_ = false;
  bool downloadAtOnce_ = false;
  std::int32_t tickCount_ = 0;
  // The range the progress bar was given for the running download: a
  // patch that gives way to its whole file makes the total grow.
  std::int32_t progressTotal_ = 0;
  std::int32_t lastSampleBytes_ = 0;
};

}  // namespace ui
