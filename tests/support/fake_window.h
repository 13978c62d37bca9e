// A scripted WindowSystem for tests, with virtual time, and a scripted
// download worker that runs on the same clock.
//
// FakeWindow records everything the window logic does to the screen (texts
// with their history, enabled and shown states, placements, title, font,
// progress, timers, posted commands, message boxes, opened links and help
// topics) and delivers events only when the logic pumps: DispatchOne hands
// out queued events first (posted commands, injected clicks, keys, links,
// help requests), then one due timer tick. WaitForEvents runs the scheduled
// actions that have come due and returns at once if there were any;
// otherwise it advances the virtual clock by at most the time asked, stopping
// at the next timer or scheduled action, and runs what has come due then.
// Actions at a time run before the timer ticks of the same time. It optionally sleeps a little real
// time per wait, so that a real worker thread can progress.
//
// Template 102 as created: window hidden, main button disabled, size display
// hidden, focus on the close button. Text is 7 pixels per character and 14
// pixels high; the client area is the outer size less a frame of 16 by 39.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/update_list.h"
#include "resources/window_templates.h"
#include "ui/front_end.h"
#include "ui/window_system.h"

namespace testsupport {

struct FakeControl {
  std::string text;
  std::vector<std::string> history;  // every text set, in order
  bool enabled = true;
  bool shown = true;
  ui::Rect placement;
};

struct FakeTimer {
  int periodMs = 0;
  std::int64_t nextDueMs = 0;
};

struct AskedBox {
  std::string text;
  std::string caption;
  ui::MessageIcon icon = ui::MessageIcon::kQuestion;
  std::int64_t atMs = 0;
  std::string okLabel;
  std::string cancelLabel;
};

class FakeWindow : public ui::WindowSystem {
 public:
  static constexpr int kFrameWidth = 16;
  static constexpr int kFrameHeight = 39;
  static constexpr int kCharWidth = 7;
  static constexpr int kTextHeight = 14;

  explicit FakeWindow(ui::WindowTemplate which = ui::WindowTemplate::kUpdateWindow);

  // --- WindowSystem ---
  void SetEventSink(ui::WindowEvents* sink) override { sink_ = sink; }
  void SetTitle(std::string_view title) override;
  std::string Title() const override { return title_; }
  void ShowWindow() override;
  void HideWindow() override { visible_ = false; }
  bool IsVisible() const override { return visible_; }
  void DestroyWindow() override;
  bool IsDestroyed() const override { return destroyed_; }
  void ResizeWindow(ui::Size outer) override { outer_ = outer; }
  ui::Size ClientSize() const override { return {outer_.width - kFrameWidth, outer_.height - kFrameHeight}; }
  void SetFont(std::string_view face, int height) override;
  void SetText(int control, std::string_view text) override;
  std::string Text(int control) const override;
  void Enable(int control, bool enabled) override;
  bool IsEnabled(int control) const override;
  void Show(int control, bool visible) override;
  bool IsShown(int control) const override;
  void Focus(int control) override { focus_ = control; }
  int FocusedControl() const override { return focus_; }
  void MoveFocus(bool forward) override;
  void Move(int control, ui::Rect placement) override { Ctl(control).placement = placement; }
  ui::Rect Placement(int control) const override;
  ui::Size MeasureText(int control) const override;
  void SetProgressRange(std::int32_t maximum) override;
  void SetProgress(std::int32_t position) override;
  std::int32_t Progress() const override { return progress_; }
  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override { timers_.erase(id); }
  void PostCommand(int id) override;
  ui::Answer AskOkCancel(std::string_view text, std::string_view caption, ui::MessageIcon icon) override;
  void SetMessageBoxLabels(std::string_view ok, std::string_view cancel) override {
    okLabel_ = ok;
    cancelLabel_ = cancel;
  }
  bool DispatchOne(const KeyFilter* keyFilter) override;
  void WaitForEvents(int maxMs) override;
  void RunMessageLoop() override;
  void OpenHelpTopic(const std::string& chmPath, const std::string& topic) override;
  void OpenLink(std::string_view link) override { links_.emplace_back(link); }

  // --- Virtual time and the script ---
  std::int64_t NowMs() const { return now_; }
  // Runs `action` when the clock reaches `atMs` (absolute virtual time).
  void At(std::int64_t atMs, std::function<void()> action);
  // Calls `check` before and after every advance of the clock until it
  // returns false (a worker polling its shared words).
  void Watch(std::function<bool()> check);
  // Queue a user action now, or at a virtual time.
  void Click(int control);
  // The window's close box (or Alt-F4): the close request, where the window
  // can be closed.
  void CloseBox();
  void PressKey(ui::Key key);
  void ClickLink(std::string link);
  void ClickAt(std::int64_t atMs, int control);
  void PressKeyAt(std::int64_t atMs, ui::Key key);
  // Pumps like a front end's own loop (no key filter) for `ms` of virtual
  // time, or until `done` holds (false when the limit came first).
  void RunFor(std::int64_t ms);
  bool RunUntil(const std::function<bool()>& done, std::int64_t limitMs);
  // RunMessageLoop gives up after this much virtual time.
  std::int64_t loopLimitMs = 600000;
  // Real time slept per WaitForEvents, for tests with a real worker thread.
  int realSleepUsPerWait = 0;

  // Message boxes: each asked box is recorded; the answer comes from
  // `onAsk` when set (it may pump with RunFor while the box is "open"), else
  // from `answers`, else Cancel.
  std::function<ui::Answer(const AskedBox&)> onAsk;
  std::deque<ui::Answer> answers;

  // --- Records ---
  const FakeControl& Control(int id) const;
  const std::vector<std::string>& titles() const { return titles_; }
  ui::Size OuterSize() const { return outer_; }
  const std::string& fontFace() const { return fontFace_; }
  int fontHeight() const { return fontHeight_; }
  std::int32_t ProgressRange() const { return range_; }
  std::optional<FakeTimer> Timer(int id) const;
  const std::vector<int>& posted() const { return posted_; }
  const std::vector<AskedBox>& boxes() const { return boxes_; }
  const std::vector<std::string>& links() const { return links_; }
  const std::vector<std::pair<std::string, std::string>>& helpTopics() const { return helpTopics_; }
  int showCount() const { return showCount_; }
  // Whether the window was ever shown before it was destroyed.
  bool everShown() const { return showCount_ > 0; }
  std::int64_t destroyedAtMs() const { return destroyedAt_; }

 private:
  std::string okLabel_ = "OK";
  std::string cancelLabel_ = "Cancel";
  enum class EventKind { kCommand, kClick, kKey, kLink, kCloseBox };
  struct Event {
    EventKind kind;
    int id = 0;
    ui::Key key = ui::Key::kOther;
    std::string link;
  };
  struct Action {
    std::int64_t atMs;
    std::uint64_t order;
    std::function<void()> run;
  };

  FakeControl& Ctl(int id);
  bool IsButton(int id) const;
  void Deliver(const Event& event, const KeyFilter* keyFilter);
  void Enqueue(Event event);
  bool RunDueActions();
  void RunWatchers();
  std::optional<std::int64_t> NextScheduled() const;

  void FocusAwayFromUnusable();

  const resources::WindowTemplate& template_;
  std::vector<int> tabOrder_;
  ui::WindowEvents* sink_ = nullptr;
  std::map<int, FakeControl> controls_;
  std::string title_;
  std::vector<std::string> titles_;
  bool visible_ = false;
  bool destroyed_ = false;
  int showCount_ = 0;
  std::int64_t destroyedAt_ = -1;
  ui::Size outer_;
  std::string fontFace_ = "MS Sans Serif";
  int fontHeight_ = 8;
  int focus_ = 0;
  std::int32_t range_ = 100;
  std::int32_t progress_ = 0;
  std::map<int, FakeTimer> timers_;
  // The queue and the posted commands: a worker's thread may post.
  mutable std::mutex queueMutex_;
  std::deque<Event> queue_;
  std::vector<int> posted_;
  std::vector<Action> actions_;
  std::uint64_t actionOrder_ = 0;
  std::vector<std::function<bool()>> watchers_;
  std::vector<AskedBox> boxes_;
  std::vector<std::string> links_;
  std::vector<std::pair<std::string, std::string>> helpTopics_;
  std::int64_t now_ = 0;
};

// A download worker that acts on the fake's clock. Each run started takes
// the next script queued with AddRun (a run without one ends at its start
// with the list as it is). Steps run at their offset from the run's start;
// Finish ends the run. A stop request (runControl 2) ends the run with
// resultCode 2 after the script's stop delay, or never when it is negative:
// like a real worker, the run keeps its own reference to the list and may
// go on writing to it after the window has stopped waiting.
class ScriptedWorker {
 public:
  struct Step {
    std::int64_t atMs = 0;
    std::function<void(engine::UpdateList&)> act;
    bool endsRun = false;
  };
  struct Script {
    std::vector<Step> steps;
    std::int64_t stopDelayMs = 0;
  };
  struct Run {
    std::shared_ptr<engine::UpdateList> list;
    std::int64_t startedAtMs = 0;
    bool ended = false;
    std::optional<std::int64_t> stopSeenAtMs;
    std::int64_t stopDelayMs = 0;
  };

  explicit ScriptedWorker(FakeWindow& window) : window_(window) {}

  void AddRun(std::vector<Step> steps, std::int64_t stopDelayMs = 0);
  // The worker starter for DialogServices.
  std::function<bool(std::shared_ptr<engine::UpdateList>)> Starter();
  // Starts no thread: the starter fails.
  bool refuseStart = false;

  const std::vector<std::shared_ptr<Run>>& runs() const { return runs_; }

  // Steps.
  static Step Bytes(std::int64_t atMs, std::int32_t done, std::int32_t present = 0);
  // The list document as the body of the list's first item.
  static Step Document(std::int64_t atMs, std::string document);
  static Step Finish(std::int64_t atMs, std::int32_t resultCode);

 private:
  void Start(const std::shared_ptr<Run>& run, Script script);
  void WatchStop(const std::shared_ptr<Run>& run);

  FakeWindow& window_;
  std::deque<Script> scripts_;
  std::vector<std::shared_ptr<Run>> runs_;
};

}  // namespace testsupport
