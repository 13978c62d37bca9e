#include "tests/support/fake_window.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "engine/download_worker.h"

namespace testsupport {
namespace {

using resources::ControlKind;

}  // namespace

FakeWindow::FakeWindow(ui::WindowTemplate which)
    : template_(which == ui::WindowTemplate::kUpdateWindow ? resources::UpdateWindowTemplate()
                                                           : resources::InstallWindowTemplate()) {
  for (const resources::ControlTemplate& c : template_.controls) {
    resources::PixelRect r = resources::ToPixels(c.rect);
    controls_[c.id] = FakeControl{{}, {}, c.enabled, c.visible, ui::Rect{r.left, r.top, r.width, r.height}};
    if (c.tabStop) tabOrder_.push_back(c.id);
  }
  title_ = template_.title;
  outer_ = {resources::DialogUnitsToPixelsX(template_.width) + kFrameWidth,
            resources::DialogUnitsToPixelsY(template_.height) + kFrameHeight};
  FocusAwayFromUnusable();
}

bool FakeWindow::IsButton(int id) const {
  const resources::ControlTemplate* c = template_.Find(id);
  return c && (c->kind == ControlKind::kButton || c->kind == ControlKind::kDefaultButton);
}

void FakeWindow::Enable(int control, bool enabled) {
  Ctl(control).enabled = enabled;
  FocusAwayFromUnusable();
}

void FakeWindow::Show(int control, bool visible) {
  Ctl(control).shown = visible;
  FocusAwayFromUnusable();
}

// The focus never stays on a control that cannot take it.
void FakeWindow::FocusAwayFromUnusable() {
  if (tabOrder_.empty() || (IsEnabled(focus_) && IsShown(focus_))) return;
  MoveFocus(true);
}

FakeControl& FakeWindow::Ctl(int id) {
  auto it = controls_.find(id);
  if (it == controls_.end()) throw std::out_of_range("no control " + std::to_string(id) + " in template 102");
  return it->second;
}

const FakeControl& FakeWindow::Control(int id) const {
  auto it = controls_.find(id);
  if (it == controls_.end()) throw std::out_of_range("no control " + std::to_string(id) + " in template 102");
  return it->second;
}

void FakeWindow::SetTitle(std::string_view title) {
  title_ = std::string(title);
  titles_.push_back(title_);
}

void FakeWindow::ShowWindow() {
  if (destroyed_) return;
  visible_ = true;
  ++showCount_;
}

void FakeWindow::DestroyWindow() {
  if (destroyed_) return;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    destroyed_ = true;
    queue_.clear();
  }
  destroyedAt_ = now_;
  visible_ = false;
  timers_.clear();
}

void FakeWindow::SetFont(std::string_view face, int height) {
  fontFace_ = std::string(face);
  fontHeight_ = height;
}

void FakeWindow::SetText(int control, std::string_view text) {
  FakeControl& c = Ctl(control);
  c.text = std::string(text);
  c.history.push_back(c.text);
}

std::string FakeWindow::Text(int control) const { return Control(control).text; }
bool FakeWindow::IsEnabled(int control) const { return controls_.count(control) && Control(control).enabled; }
bool FakeWindow::IsShown(int control) const { return controls_.count(control) && Control(control).shown; }
ui::Rect FakeWindow::Placement(int control) const { return Control(control).placement; }

void FakeWindow::MoveFocus(bool forward) {
  const int n = static_cast<int>(tabOrder_.size());
  int at = static_cast<int>(std::find(tabOrder_.begin(), tabOrder_.end(), focus_) - tabOrder_.begin());
  if (at == n) at = forward ? n - 1 : 0;
  for (int step = 1; step <= n; ++step) {
    int id = tabOrder_[static_cast<std::size_t>(((forward ? at + step : at - step) % n + n) % n)];
    if (IsEnabled(id) && IsShown(id)) {
      focus_ = id;
      return;
    }
  }
}

ui::Size FakeWindow::MeasureText(int control) const {
  if (!controls_.count(control)) return {0, 0};
  return {kCharWidth * static_cast<int>(Control(control).text.size()), kTextHeight};
}

void FakeWindow::SetProgressRange(std::int32_t maximum) {
  range_ = maximum;
  progress_ = std::clamp(progress_, 0, std::max(range_, 0));
}

void FakeWindow::SetProgress(std::int32_t position) { progress_ = std::clamp(position, 0, std::max(range_, 0)); }

void FakeWindow::StartTimer(int id, int periodMs) {
  if (destroyed_) return;
  timers_[id] = FakeTimer{periodMs, now_ + periodMs};
}

std::optional<FakeTimer> FakeWindow::Timer(int id) const {
  auto it = timers_.find(id);
  if (it == timers_.end()) return std::nullopt;
  return it->second;
}

void FakeWindow::PostCommand(int id) {
  std::lock_guard<std::mutex> lock(queueMutex_);
  posted_.push_back(id);
  if (!destroyed_) queue_.push_back(Event{EventKind::kCommand, id});
}

ui::Answer FakeWindow::AskOkCancel(std::string_view text, std::string_view caption, ui::MessageIcon icon) {
  boxes_.push_back(AskedBox{std::string(text), std::string(caption), icon, now_, okLabel_, cancelLabel_});
  AskedBox box = boxes_.back();
  if (onAsk) return onAsk(box);
  if (answers.empty()) return ui::Answer::kCancel;
  ui::Answer answer = answers.front();
  answers.pop_front();
  return answer;
}

void FakeWindow::Deliver(const Event& event, const KeyFilter* keyFilter) {
  if (!sink_) return;
  switch (event.kind) {
    case EventKind::kCommand:
      sink_->OnCommand(event.id);
      break;
    case EventKind::kClick:
      if (visible_ && IsButton(event.id) && IsEnabled(event.id) && IsShown(event.id)) sink_->OnCommand(event.id);
      break;
    case EventKind::kLink:
      if (visible_) sink_->OnLinkClicked(event.link);
      break;
    case EventKind::kCloseBox:
      if (visible_ && template_.closable) sink_->OnCommand(ui::kCloseButton);
      break;
    case EventKind::kKey:
      if (!visible_) break;
      if (keyFilter && *keyFilter) {
        (*keyFilter)(event.key);
        break;
      }
      switch (event.key) {
        case ui::Key::kTab:
        case ui::Key::kRight:
          MoveFocus(true);
          break;
        case ui::Key::kLeft:
          MoveFocus(false);
          break;
        case ui::Key::kEnter:
          // Enter presses the focused button, elsewhere the default button.
          if (IsButton(focus_)) {
            if (IsEnabled(focus_)) sink_->OnCommand(focus_);
          } else if (IsButton(ui::kMainButton) && IsEnabled(ui::kMainButton) && IsShown(ui::kMainButton)) {
            sink_->OnCommand(ui::kMainButton);
          }
          break;
        case ui::Key::kEscape:
          if (template_.closable) sink_->OnCommand(ui::kCloseButton);
          break;
        case ui::Key::kF1:
          sink_->OnHelpRequest();
          break;
        case ui::Key::kOther:
          break;
      }
      break;
  }
}

bool FakeWindow::DispatchOne(const KeyFilter* keyFilter) {
  std::optional<Event> event;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (!queue_.empty()) {
      event = std::move(queue_.front());
      queue_.pop_front();
    }
  }
  if (event) {
    Deliver(*event, keyFilter);
    return true;
  }
  auto due = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.nextDueMs <= now_ && (due == timers_.end() || it->second.nextDueMs < due->second.nextDueMs))
      due = it;
  }
  if (due == timers_.end()) return false;
  int id = due->first;
  due->second.nextDueMs += due->second.periodMs;
  if (sink_) sink_->OnTimer(id);
  return true;
}

void FakeWindow::At(std::int64_t atMs, std::function<void()> action) {
  actions_.push_back(Action{atMs, actionOrder_++, std::move(action)});
}

void FakeWindow::Watch(std::function<bool()> check) { watchers_.push_back(std::move(check)); }

void FakeWindow::RunWatchers() {
  // A watcher may add watchers or actions while it runs.
  std::vector<std::function<bool()>> current;
  current.swap(watchers_);
  std::vector<std::function<bool()>> kept;
  for (auto& check : current)
    if (check()) kept.push_back(std::move(check));
  kept.insert(kept.end(), std::make_move_iterator(watchers_.begin()), std::make_move_iterator(watchers_.end()));
  watchers_.swap(kept);
}

bool FakeWindow::RunDueActions() {
  bool ran = false;
  for (;;) {
    auto next = actions_.end();
    for (auto it = actions_.begin(); it != actions_.end(); ++it) {
      if (it->atMs > now_) continue;
      if (next == actions_.end() || std::tie(it->atMs, it->order) < std::tie(next->atMs, next->order)) next = it;
    }
    if (next == actions_.end()) return ran;
    std::function<void()> run = std::move(next->run);
    actions_.erase(next);
    run();
    ran = true;
  }
}

std::optional<std::int64_t> FakeWindow::NextScheduled() const {
  std::optional<std::int64_t> next;
  auto consider = [&](std::int64_t t) {
    if (!next || t < *next) next = t;
  };
  for (const auto& [id, timer] : timers_) consider(timer.nextDueMs);
  for (const auto& action : actions_) consider(action.atMs);
  return next;
}

void FakeWindow::WaitForEvents(int maxMs) {
  RunWatchers();
  // Something that happened (a worker ending) ends the wait, as it would
  // for a wait on the worker thread.
  bool happened = RunDueActions();
  std::optional<std::int64_t> next = NextScheduled();
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued = !queue_.empty();
  }
  bool somethingDue = happened || queued || (next && *next <= now_);
  if (!somethingDue && maxMs > 0) {
    std::int64_t target = now_ + maxMs;
    if (next && *next < target) target = *next;
    now_ = target;
    RunWatchers();
    RunDueActions();
  }
  if (realSleepUsPerWait > 0) {
    // Where sleeps come in whole milliseconds (Windows), a shorter one sleeps
    // not at all: the rest is waited out, giving the processor away.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(realSleepUsPerWait);
    std::this_thread::sleep_for(std::chrono::microseconds(realSleepUsPerWait));
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
  }
}

void FakeWindow::RunMessageLoop() {
  std::int64_t limit = now_ + loopLimitMs;
  while (!destroyed_ && now_ < limit) {
    if (!DispatchOne(nullptr)) WaitForEvents(10);
  }
}

void FakeWindow::RunFor(std::int64_t ms) {
  std::int64_t end = now_ + ms;
  for (;;) {
    if (DispatchOne(nullptr)) continue;
    if (now_ >= end) return;
    WaitForEvents(static_cast<int>(std::min<std::int64_t>(10, end - now_)));
  }
}

bool FakeWindow::RunUntil(const std::function<bool()>& done, std::int64_t limitMs) {
  std::int64_t end = now_ + limitMs;
  while (!done()) {
    if (DispatchOne(nullptr)) continue;
    if (now_ >= end) return false;
    WaitForEvents(static_cast<int>(std::min<std::int64_t>(10, end - now_)));
  }
  return true;
}

void FakeWindow::OpenHelpTopic(const std::string& chmPath, const std::string& topic) {
  helpTopics_.emplace_back(chmPath, topic);
}

void FakeWindow::Enqueue(Event event) {
  std::lock_guard<std::mutex> lock(queueMutex_);
  queue_.push_back(std::move(event));
}

void FakeWindow::Click(int control) { Enqueue(Event{EventKind::kClick, control}); }
void FakeWindow::CloseBox() { Enqueue(Event{EventKind::kCloseBox}); }
void FakeWindow::PressKey(ui::Key key) { Enqueue(Event{EventKind::kKey, 0, key}); }
void FakeWindow::ClickLink(std::string link) {
  Enqueue(Event{EventKind::kLink, 0, ui::Key::kOther, std::move(link)});
}
void FakeWindow::ClickAt(std::int64_t atMs, int control) {
  At(atMs, [this, control] { Click(control); });
}
void FakeWindow::PressKeyAt(std::int64_t atMs, ui::Key key) {
  At(atMs, [this, key] { PressKey(key); });
}

// --- ScriptedWorker ---

void ScriptedWorker::AddRun(std::vector<Step> steps, std::int64_t stopDelayMs) {
  scripts_.push_back(Script{std::move(steps), stopDelayMs});
}

std::function<bool(std::shared_ptr<engine::UpdateList>)> ScriptedWorker::Starter() {
  return [this](std::shared_ptr<engine::UpdateList> list) {
    if (refuseStart || !list) return false;
    auto run = std::make_shared<Run>();
    run->list = std::move(list);
    run->startedAtMs = window_.NowMs();
    runs_.push_back(run);
    Script script;
    if (!scripts_.empty()) {
      script = std::move(scripts_.front());
      scripts_.pop_front();
    }
    Start(run, std::move(script));
    return true;
  };
}

void ScriptedWorker::Start(const std::shared_ptr<Run>& run, Script script) {
  run->list->workerActive = true;
  run->stopDelayMs = script.stopDelayMs;
  if (script.steps.empty()) {
    run->ended = true;
    run->list->workerActive = false;
    return;
  }
  for (Step& step : script.steps) {
    window_.At(run->startedAtMs + step.atMs, [run, act = std::move(step.act), ends = step.endsRun] {
      if (run->ended) return;
      act(*run->list);
      if (ends) run->ended = true;
    });
  }
  WatchStop(run);
}

void ScriptedWorker::WatchStop(const std::shared_ptr<Run>& run) {
  window_.Watch([this, run] {
    if (run->ended) return false;
    if (run->list->runControl.load() != engine::kStop) return true;
    run->stopSeenAtMs = window_.NowMs();
    if (run->stopDelayMs >= 0) {
      window_.At(*run->stopSeenAtMs + run->stopDelayMs, [run] {
        if (run->ended) return;
        run->ended = true;
        run->list->resultCode = engine::kAborted;
        run->list->workerActive = false;
      });
    }
    return false;
  });
}

ScriptedWorker::Step ScriptedWorker::Bytes(std::int64_t atMs, std::int32_t done, std::int32_t present) {
  return {atMs, [done, present](engine::UpdateList& list) {
            list.bytesDone = done;
            list.bytesPresent = present;
          }};
}

ScriptedWorker::Step ScriptedWorker::Document(std::int64_t atMs, std::string document) {
  return {atMs, [document = std::move(document)](engine::UpdateList& list) {
            if (list.items.empty()) return;
            engine::UpdateItem& item = *list.items.front();
            item.response.Clear();
            const char zeros[2] = {0, 0};
            item.response.Append(document.data(), document.size());
            item.response.Append(zeros, 2);
            item.body = item.response.data();
            item.bodyLength = static_cast<std::int32_t>(document.size());
          }};
}

ScriptedWorker::Step ScriptedWorker::Finish(std::int64_t atMs, std::int32_t resultCode) {
  return {atMs,
          [resultCode](engine::UpdateList& list) {
            list.resultCode = resultCode;
            list.workerActive = false;
          },
          true};
}

}  // namespace testsupport
