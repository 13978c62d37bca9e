// The window interface's contract over the fake window that the window
// logic's tests use, so that what they prove holds for the real front ends.
#include <memory>
#include <optional>

#include "tests/support/fake_window.h"
#include "tests/ui/window_contract.h"

namespace {

class FakeDriver : public contract::WindowDriver {
 public:
  ui::WindowSystem& Open(ui::WindowTemplate which, ui::WindowEvents& sink) override {
    window_ = std::make_unique<testsupport::FakeWindow>(which);
    window_->SetEventSink(&sink);
    // A box stays open, its timers ticking, until the test answers it.
    window_->onAsk = [this](const testsupport::AskedBox&) {
      answer_.reset();
      window_->RunUntil([this] { return answer_.has_value(); }, 60000);
      return answer_.value_or(ui::Answer::kCancel);
    };
    return *window_;
  }
  void Click(int control) override { window_->Click(control); }
  void Key(ui::Key key) override { window_->PressKey(key); }
  void CloseBox() override { window_->CloseBox(); }
  void ClickLink(const std::string& link) override { window_->ClickLink(link); }
  void AnswerBox(ui::Answer answer) override { answer_ = answer; }
  std::int64_t NowMs() override { return window_->NowMs(); }

 private:
  std::unique_ptr<testsupport::FakeWindow> window_;
  std::optional<ui::Answer> answer_;
};

}  // namespace

namespace contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, WindowContract, FakeDriver);
}  // namespace contract
