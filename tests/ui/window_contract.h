// The contract of the window interface, one suite for every front end: the
// fake the window logic is tested with, the terminal and the desktop. Each
// front end's test program gives a driver (its window and a user's hand on
// it) and instantiates the suite with it:
//
//   INSTANTIATE_TYPED_TEST_SUITE_P(Fake, WindowContract, FakeDriver);
//
// Time is the front end's own: virtual for the fake and the terminal, real
// for the desktop; no case depends on how fast the machine is.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "resources/window_templates.h"
#include "ui/front_end.h"
#include "ui/window_system.h"

namespace contract {

class WindowDriver {
 public:
  virtual ~WindowDriver() = default;
  // Why this front end cannot run here; empty when it can.
  virtual std::string SkipReason() { return {}; }
  // A new window of `which` (the last one goes), its events going to `sink`.
  virtual ui::WindowSystem& Open(ui::WindowTemplate which, ui::WindowEvents& sink) = 0;
  // The user's hand: a click on a control, a key, the close box, a click on
  // a link of the message area (given by its text).
  virtual void Click(int control) = 0;
  virtual void Key(ui::Key key) = 0;
  virtual void CloseBox() = 0;
  virtual void ClickLink(const std::string& link) = 0;
  // Answers the message box that is open now; called from a timer tick.
  virtual void AnswerBox(ui::Answer answer) = 0;
  // The window's clock.
  virtual std::int64_t NowMs() = 0;
  // A rectangle of the open window's template in pixels: with the base
  // units of 8-point "MS Sans Serif" where the front end places controls
  // itself, with those of the font the system really uses where the system
  // makes the window from the template.
  virtual resources::PixelRect TemplatePixels(const resources::DialogRect& rect) { return resources::ToPixels(rect); }
};

// Records what reaches the window logic.
struct Events : ui::WindowEvents {
  std::vector<std::string> seen;
  std::map<int, int> ticks;
  std::function<void(int)> onTimer;
  std::function<void(int)> onCommand;
  void OnCommand(int id) override {
    seen.push_back("command " + std::to_string(id));
    if (onCommand) onCommand(id);
  }
  void OnTimer(int id) override {
    ++ticks[id];
    if (onTimer) onTimer(id);
  }
  void OnHelpRequest() override { seen.push_back("help"); }
  void OnLinkClicked(std::string_view link) override { seen.push_back("link " + std::string(link)); }
};

template <typename Driver>
class WindowContract : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason = driver_.SkipReason();
    if (!reason.empty()) GTEST_SKIP() << reason;
  }

  ui::WindowSystem& Open(ui::WindowTemplate which) {
    window_ = &driver_.Open(which, events_);
    return *window_;
  }

  // The update window labelled and shown, as the logic leaves it.
  ui::WindowSystem& OpenUpdateWindow() {
    ui::WindowSystem& w = Open(ui::WindowTemplate::kUpdateWindow);
    w.SetText(ui::kMainButton, "Download");
    w.SetText(ui::kCloseButton, "Close");
    w.SetText(ui::kHelpButton, "Help");
    w.ShowWindow();
    Pump(50);
    return w;
  }

  // Pumps as the window logic does until `done` holds or `ms` of the
  // window's time have passed.
  bool PumpUntil(const std::function<bool()>& done, int ms, const ui::WindowSystem::KeyFilter* filter = nullptr) {
    ui::WindowSystem& w = *window_;
    std::int64_t end = driver_.NowMs() + ms;
    for (;;) {
      while (!w.IsDestroyed() && w.DispatchOne(filter)) {
        if (done()) return true;
      }
      if (done()) return true;
      std::int64_t now = driver_.NowMs();
      if (now >= end) return false;
      w.WaitForEvents(static_cast<int>(std::min<std::int64_t>(10, end - now)));
    }
  }
  void Pump(int ms, const ui::WindowSystem::KeyFilter* filter = nullptr) {
    PumpUntil([] { return false; }, ms, filter);
  }
  // Waits for the next event of the logic and gives it, or "" after `ms`.
  std::string Next(int ms = 3000, const ui::WindowSystem::KeyFilter* filter = nullptr) {
    std::size_t before = events_.seen.size();
    if (!PumpUntil([&] { return events_.seen.size() > before; }, ms, filter)) return "";
    return events_.seen[before];
  }

  Driver driver_;
  Events events_;
  ui::WindowSystem* window_ = nullptr;
};

TYPED_TEST_SUITE_P(WindowContract);

TYPED_TEST_P(WindowContract, StartsLikeItsTemplate) {
  for (auto which : {ui::WindowTemplate::kUpdateWindow, ui::WindowTemplate::kInstallWindow}) {
    const resources::WindowTemplate& t = which == ui::WindowTemplate::kUpdateWindow
                                             ? resources::UpdateWindowTemplate()
                                             : resources::InstallWindowTemplate();
    ui::WindowSystem& w = this->Open(which);
    SCOPED_TRACE(t.title);
    EXPECT_EQ(w.Title(), t.title);
    EXPECT_FALSE(w.IsVisible());
    resources::PixelRect client = this->driver_.TemplatePixels({0, 0, t.width, t.height});
    EXPECT_EQ(w.ClientSize().width, client.width);
    EXPECT_EQ(w.ClientSize().height, client.height);
    int firstStop = 0;
    for (const resources::ControlTemplate& c : t.controls) {
      EXPECT_EQ(w.IsEnabled(c.id), c.enabled) << c.name;
      EXPECT_EQ(w.IsShown(c.id), c.visible) << c.name;
      resources::PixelRect r = this->driver_.TemplatePixels(c.rect);
      ui::Rect p = w.Placement(c.id);
      EXPECT_EQ(std::vector<int>({p.left, p.top, p.width, p.height}), std::vector<int>({r.left, r.top, r.width, r.height}))
          << c.name;
      if (!firstStop && c.tabStop && c.enabled && c.visible) firstStop = c.id;
    }
    if (firstStop) {
      EXPECT_EQ(w.FocusedControl(), firstStop);
    }
  }
}

TYPED_TEST_P(WindowContract, ControlsKeepWhatTheyAreGiven) {
  ui::WindowSystem& w = this->OpenUpdateWindow();
  w.SetTitle("25% - Update Tolvaro DVD");
  EXPECT_EQ(w.Title(), "25% - Update Tolvaro DVD");
  for (int id : {ui::kHeadline, ui::kMessageArea, ui::kStatusLine, ui::kSizeDisplay, ui::kMainButton}) {
    w.SetText(id, "text of " + std::to_string(id));
    EXPECT_EQ(w.Text(id), "text of " + std::to_string(id));
  }
  w.Show(ui::kSizeDisplay, true);
  w.Enable(ui::kHelpButton, false);
  EXPECT_TRUE(w.IsShown(ui::kSizeDisplay));
  EXPECT_FALSE(w.IsEnabled(ui::kHelpButton));
  w.Move(ui::kStatusLine, {30, 185, 290, 18});
  ui::Rect r = w.Placement(ui::kStatusLine);
  EXPECT_EQ(std::vector<int>({r.left, r.top, r.width, r.height}), std::vector<int>({30, 185, 290, 18}));

  // The progress bar keeps its position inside its range.
  const std::pair<std::int32_t, std::int32_t> kProgress[] = {{57, 57}, {250, 200}, {-5, 0}, {200, 200}};
  w.SetProgressRange(200);
  for (auto [set, shown] : kProgress) {
    w.SetProgress(set);
    EXPECT_EQ(w.Progress(), shown) << set;
  }
  w.SetProgressRange(100);
  EXPECT_EQ(w.Progress(), 100);

  // A longer label measures wider, in the same line height.
  w.SetText(ui::kMainButton, "Abort");
  ui::Size shortLabel = w.MeasureText(ui::kMainButton);
  w.SetText(ui::kMainButton, "Herunterladen und installieren");
  ui::Size longLabel = w.MeasureText(ui::kMainButton);
  EXPECT_GT(shortLabel.width, 0);
  EXPECT_GT(longLabel.width, shortLabel.width);
  EXPECT_EQ(longLabel.height, shortLabel.height);
}

TYPED_TEST_P(WindowContract, FocusFollowsTheTabOrderAndLeavesUnusableControls) {
  ui::WindowSystem& w = this->OpenUpdateWindow();
  w.Enable(ui::kMainButton, true);
  w.Focus(ui::kMainButton);
  std::vector<int> forward, back;
  for (int i = 0; i < 4; ++i) {
    w.MoveFocus(true);
    forward.push_back(w.FocusedControl());
  }
  for (int i = 0; i < 4; ++i) {
    w.MoveFocus(false);
    back.push_back(w.FocusedControl());
  }
  EXPECT_EQ(forward, std::vector<int>({ui::kCloseButton, ui::kHelpButton, ui::kMessageArea, ui::kMainButton}));
  EXPECT_EQ(back, std::vector<int>({ui::kMessageArea, ui::kHelpButton, ui::kCloseButton, ui::kMainButton}));

  // Disabled and hidden controls are passed over.
  w.Enable(ui::kHelpButton, false);
  w.Show(ui::kMessageArea, false);
  w.MoveFocus(true);
  w.MoveFocus(true);
  EXPECT_EQ(w.FocusedControl(), ui::kMainButton);
  // A focused control that becomes disabled gives the focus on, as after
  // a finished download.
  w.Enable(ui::kMainButton, false);
  this->Pump(20);
  EXPECT_EQ(w.FocusedControl(), ui::kCloseButton);
}

TYPED_TEST_P(WindowContract, KeysClicksAndTheCloseBoxOutsideARun) {
  ui::WindowSystem& w = this->OpenUpdateWindow();
  w.Enable(ui::kMainButton, true);
  w.Focus(ui::kMainButton);
  this->Pump(20);
  struct Step {
    std::function<void()> act;
    std::string event;  // what reaches the logic; "" nothing
    int focusAfter;
  };
  auto& d = this->driver_;
  const Step kSteps[] = {
      {[&] { d.Key(ui::Key::kTab); }, "", ui::kCloseButton},
      {[&] { d.Key(ui::Key::kRight); }, "", ui::kHelpButton},
      {[&] { d.Key(ui::Key::kEnter); }, "command 3", ui::kHelpButton},
      {[&] { d.Key(ui::Key::kLeft); }, "", ui::kCloseButton},
      {[&] { d.Key(ui::Key::kF1); }, "help", ui::kCloseButton},
      {[&] { d.Key(ui::Key::kEscape); }, "command 2", ui::kCloseButton},
      {[&] { d.CloseBox(); }, "command 2", ui::kCloseButton},
      {[&] { d.Click(ui::kMainButton); }, "command 1", -1},
  };
  int n = 0;
  for (const Step& step : kSteps) {
    SCOPED_TRACE("step " + std::to_string(n++));
    step.act();
    EXPECT_EQ(this->Next(step.event.empty() ? 200 : 3000), step.event);
    if (step.focusAfter > 0) {
      EXPECT_EQ(w.FocusedControl(), step.focusAfter);
    }
  }
  // A disabled button takes no click; Enter elsewhere is the default button's.
  w.Enable(ui::kMainButton, false);
  d.Click(ui::kMainButton);
  EXPECT_EQ(this->Next(200), "");
  w.Enable(ui::kMainButton, true);
  w.Focus(ui::kMessageArea);
  this->Pump(20);
  d.Key(ui::Key::kEnter);
  EXPECT_EQ(this->Next(), "command 1");
}

TYPED_TEST_P(WindowContract, AHiddenWindowComesBackAsItWas) {
  ui::WindowSystem& w = this->OpenUpdateWindow();
  w.SetText(ui::kHeadline, "Downloading update...");
  w.Enable(ui::kMainButton, true);
  w.HideWindow();
  this->Pump(20);
  EXPECT_FALSE(w.IsVisible());
  EXPECT_FALSE(w.IsDestroyed());
  w.ShowWindow();
  this->Pump(20);
  EXPECT_TRUE(w.IsVisible());
  EXPECT_EQ(w.Text(ui::kHeadline), "Downloading update...");
  this->driver_.Click(ui::kMainButton);
  EXPECT_EQ(this->Next(), "command 1");
}

TYPED_TEST_P(WindowContract, AKeyFilterTakesEveryKeyButNotClicks) {
  ui::WindowSystem& w = this->OpenUpdateWindow();
  w.Enable(ui::kMainButton, true);
  std::vector<ui::Key> filtered;
  ui::WindowSystem::KeyFilter filter = [&](ui::Key key) { filtered.push_back(key); };
  const ui::Key kKeys[] = {ui::Key::kTab, ui::Key::kEnter, ui::Key::kEscape, ui::Key::kF1, ui::Key::kLeft};
  for (ui::Key key : kKeys) {
    std::size_t before = filtered.size();
    this->driver_.Key(key);
    EXPECT_TRUE(this->PumpUntil([&] { return filtered.size() > before; }, 3000, &filter));
  }
  EXPECT_EQ(filtered, std::vector<ui::Key>(std::begin(kKeys), std::end(kKeys)));
  EXPECT_TRUE(this->events_.seen.empty());
  this->driver_.Click(ui::kMainButton);
  EXPECT_EQ(this->Next(3000, &filter), "command 1");
}

TYPED_TEST_P(WindowContract, TheInstallWindowCannotBeClosed) {
  ui::WindowSystem& w = this->Open(ui::WindowTemplate::kInstallWindow);
  w.ShowWindow();
  this->Pump(50);
  this->driver_.Key(ui::Key::kEscape);
  this->driver_.CloseBox();
  this->Pump(300);
  EXPECT_TRUE(this->events_.seen.empty());
  EXPECT_FALSE(w.IsDestroyed());
}

TYPED_TEST_P(WindowContract, TimersPostedCommandsAndTheEndOfTheLoop) {
  ui::WindowSystem& w = this->OpenUpdateWindow();
  auto& ticks = this->events_.ticks;
  w.StartTimer(7, 20);
  w.StartTimer(8, 50);
  EXPECT_TRUE(this->PumpUntil([&] { return ticks[8] >= 3; }, 5000));
  EXPECT_GE(ticks[7], ticks[8]);
  w.StopTimer(7);
  int sevens = ticks[7];
  EXPECT_TRUE(this->PumpUntil([&] { return ticks[8] >= 6; }, 5000));
  EXPECT_EQ(ticks[7], sevens);

  // Starting a running timer again starts its period anew; a timer stopped
  // from its own tick ticks no more.
  w.StopTimer(8);
  w.StartTimer(3, 400);
  this->Pump(150);
  w.StartTimer(3, 400);
  this->Pump(150);
  EXPECT_EQ(ticks[3], 0);
  this->events_.onTimer = [&](int id) { w.StopTimer(id); };
  w.StartTimer(4, 20);
  this->Pump(300);
  EXPECT_EQ(ticks[4], 1);
  this->events_.onTimer = nullptr;
  w.StopTimer(3);

  // Posted commands come in their order, and a waiting one ends a wait.
  w.PostCommand(201);
  w.PostCommand(1);
  std::int64_t before = this->driver_.NowMs();
  w.WaitForEvents(2000);
  EXPECT_LT(this->driver_.NowMs() - before, 1000);
  EXPECT_EQ(this->Next(), "command 201");
  EXPECT_EQ(this->Next(), "command 1");
  // So does one posted from a worker's thread.
  std::thread([&] { w.PostCommand(202); }).join();
  EXPECT_EQ(this->Next(), "command 202");

  // A command that destroys the window ends the loop; the timers end too.
  this->events_.onCommand = [&](int id) {
    if (id == 9) w.DestroyWindow();
  };
  w.StartTimer(8, 50);
  w.PostCommand(9);
  w.PostCommand(10);  // after the end: never delivered
  w.RunMessageLoop();
  EXPECT_TRUE(w.IsDestroyed());
  EXPECT_FALSE(w.IsVisible());
  EXPECT_EQ(this->events_.seen.back(), "command 9");
  w.DestroyWindow();
  int eights = ticks[8];
  EXPECT_FALSE(w.DispatchOne(nullptr));
  EXPECT_EQ(ticks[8], eights);
}

TYPED_TEST_P(WindowContract, MessageBoxesAreAnsweredWhileTimersTick) {
  ui::WindowSystem& w = this->OpenUpdateWindow();
  w.SetMessageBoxLabels("OK", "Abbrechen");
  for (ui::Answer answer : {ui::Answer::kOk, ui::Answer::kCancel}) {
    int ticksInBox = 0;
    this->events_.onTimer = [&](int) {
      if (++ticksInBox == 3) this->driver_.AnswerBox(answer);
    };
    w.StartTimer(5, 30);
    EXPECT_EQ(w.AskOkCancel("Press OK to cancel the update.\n", "Message", ui::MessageIcon::kQuestion), answer);
    EXPECT_GE(ticksInBox, 3);
    w.StopTimer(5);
    this->events_.onTimer = nullptr;
  }
}

TYPED_TEST_P(WindowContract, ALinkOfTheMessageAreaReachesTheLogicWhole) {
  ui::WindowSystem& w = this->OpenUpdateWindow();
  // Each link starts the text, where a pointer finds it on every front end.
  for (std::string link : {"http://x.example/a_(b)", "www.tolvaro.example/news"}) {
    w.SetText(ui::kMessageArea, link + ". Read it.\r\nThanks.");
    this->Pump(50);
    this->driver_.ClickLink(link);
    EXPECT_EQ(this->Next(), "link " + link);
  }
}

REGISTER_TYPED_TEST_SUITE_P(WindowContract, StartsLikeItsTemplate, ControlsKeepWhatTheyAreGiven,
                            FocusFollowsTheTabOrderAndLeavesUnusableControls, KeysClicksAndTheCloseBoxOutsideARun,
                            AKeyFilterTakesEveryKeyButNotClicks, TheInstallWindowCannotBeClosed,
                            TimersPostedCommandsAndTheEndOfTheLoop, MessageBoxesAreAnsweredWhileTimersTick,
                            ALinkOfTheMessageAreaReachesTheLogicWhole, AHiddenWindowComesBackAsItWas);

}  // namespace contract
