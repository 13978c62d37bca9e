// The window interface's contract over the terminal front end, driven
// through its line protocol in virtual time.
#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/ui/console_window_test.h"
#include "tests/ui/window_contract.h"

namespace {

class ConsoleDriver : public contract::WindowDriver {
 public:
  ui::WindowSystem& Open(ui::WindowTemplate which, ui::WindowEvents& sink) override {
    window_.reset();
    input_ = std::make_unique<consoletest::Pipe>();
    ui::ConsoleOptions options;
    options.which = which;
    options.inputStream = input_->readEnd();
    options.output = &out_;
    options.errors = &errors_;
    options.nowMs = [this] { return now_; };
    // Virtual time, with a moment of real time for the lines to come
    // through the pipe (on Windows a reader thread passes them on).
    options.waitMs = [this](int ms) {
      now_ += ms;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    window_ = std::make_unique<ui::ConsoleWindow>(options);
    window_->SetEventSink(&sink);
    template_ = which == ui::WindowTemplate::kUpdateWindow ? &resources::UpdateWindowTemplate()
                                                           : &resources::InstallWindowTemplate();
    return *window_;
  }
  void Click(int control) override { Send(template_->Find(control)->name); }
  void Key(ui::Key key) override {
    static const char* const kNames[] = {"tab", "right", "left", "enter", "esc", "f1", "other"};
    Send(kNames[static_cast<int>(key)]);
  }
  void CloseBox() override { Send("close"); }
  void ClickLink(const std::string& link) override { Send("link " + link); }
  void AnswerBox(ui::Answer answer) override { Send(answer == ui::Answer::kOk ? "ok" : "cancel"); }
  std::int64_t NowMs() override { return now_; }

 private:
  void Send(const std::string& line) { input_->Send(line + "\n"); }

  std::int64_t now_ = 1000;
  std::unique_ptr<consoletest::Pipe> input_;
  std::ostringstream out_;
  std::ostringstream errors_;
  const resources::WindowTemplate* template_ = nullptr;
  std::unique_ptr<ui::ConsoleWindow> window_;
};

}  // namespace

namespace contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Console, WindowContract, ConsoleDriver);
}  // namespace contract
