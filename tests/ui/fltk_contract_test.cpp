// The window interface's contract over the FLTK front end, driven as a user
// would on the test program's own X server: clicks and keys with xdotool,
// the close box as the window manager's close request.
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "tests/support/x_close_request.h"
#include "tests/support/x_server.h"
#include "tests/ui/window_contract.h"

namespace {

using testsupport::Xdo;

// The first visible window called exactly `title`, waiting for it.
std::string FindWindow(const std::string& title) {
  auto found = Xdo({"search", "--sync", "--onlyvisible", "--name", "^" + title + "$"});
  return found.output.substr(0, found.output.find('\n'));
}

bool WindowGone(const std::string& title, const std::string& id) {
  std::string shown = "\n" + Xdo({"search", "--onlyvisible", "--name", "^" + title + "$"}).output;
  return shown.find("\n" + id + "\n") == std::string::npos;
}

using testsupport::SendCloseRequest;

const char* KeyName(ui::Key key) {
  switch (key) {
    case ui::Key::kTab: return "Tab";
    case ui::Key::kRight: return "Right";
    case ui::Key::kLeft: return "Left";
    case ui::Key::kEnter: return "Return";
    case ui::Key::kEscape: return "Escape";
    case ui::Key::kF1: return "F1";
    case ui::Key::kOther: break;
  }
  return "a";
}

class FltkDriver : public contract::WindowDriver {
 public:
  ~FltkDriver() override {
    if (answering_.valid()) answering_.get();
  }
  std::string SkipReason() override { return testsupport::XServer::instance->problem(); }
  ui::WindowSystem& Open(ui::WindowTemplate which, ui::WindowEvents& sink) override {
    window_.reset();
    window_ = ui::CreateDesktopWindow(which);
    if (!window_) throw std::runtime_error("no desktop window");
    window_->SetEventSink(&sink);
    id_.clear();
    return *window_;
  }
  void Click(int control) override {
    ui::Rect r = window_->Placement(control);
    ClickAt(r.left + r.width / 2, r.top + r.height / 2);
  }
  void Key(ui::Key key) override {
    Xdo({"windowfocus", "--sync", Id()});
    Xdo({"key", KeyName(key)});
  }
  void CloseBox() override { SendCloseRequest(Id()); }
  // The contract puts the link at the start of the message area.
  void ClickLink(const std::string&) override {
    ui::Rect area = window_->Placement(ui::kMessageArea);
    ClickAt(area.left + 20, area.top + 10);
  }
  // The box may not listen yet when the key comes (a slow, sanitized
  // build): the key is sent again until the box is gone.
  void AnswerBox(ui::Answer answer) override {
    if (answering_.valid()) answering_.get();
    answering_ = std::async(std::launch::async, [answer] {
      std::string box = FindWindow("Message");
      for (int i = 0; i < 30 && !WindowGone("Message", box); ++i) {
        Xdo({"windowfocus", "--sync", box});
        Xdo({"key", answer == ui::Answer::kOk ? "Return" : "Escape"});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
    });
  }
  std::int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

 private:
  const std::string& Id() {
    if (id_.empty()) id_ = FindWindow(window_->Title());
    return id_;
  }
  void ClickAt(int x, int y) {
    Xdo({"mousemove", "--window", Id(), std::to_string(x), std::to_string(y), "click", "1"});
  }

  std::unique_ptr<ui::WindowSystem> window_;
  std::string id_;
  std::future<void> answering_;
};

}  // namespace

namespace contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Fltk, WindowContract, FltkDriver);
}  // namespace contract
