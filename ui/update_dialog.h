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
  std::function<engine::StagedState(const engine::UpdateList&, const engine::UpdateItem&)> checkStaged;
  std::function<bool(const std::string& path)> fileExists;
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
  std::uint64_t HighestListSerial() const;
  // The serial of a list signed with the built-in key and not older than
  // one taken before; empty for any other list.
  std::optional<std::uint64_t> TrustList(std::string_view document) const;
  void OnCloseRequest();
  void OnProgressTick(int timerId);
  void ApplyFont();
  void LayoutControls();
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
  std::int32_t tickCount_ = 0;
  std::int32_t lastSampleBytes_ = 0;
};

}  // namespace ui
