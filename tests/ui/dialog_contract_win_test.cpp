// The window interface's contract over the Win32 dialogs, driven with
// window messages as the window system sends them for a user's clicks and
// keys.
#include <windows.h>
#include <richedit.h>

#include <memory>

#include "tests/ui/window_contract.h"

namespace {

class DialogDriver : public contract::WindowDriver {
 public:
  ui::WindowSystem& Open(ui::WindowTemplate which, ui::WindowEvents& sink) override {
    window_.reset();
    window_ = ui::CreateDesktopWindow(which);
    if (!window_) throw std::runtime_error("no dialog window");
    window_->SetEventSink(&sink);
    dialog_ = FindWindowA(nullptr, window_->Title().c_str());
    return *window_;
  }
  // A click on a button is its BN_CLICKED, which a disabled button never
  // sends.
  void Click(int control) override {
    HWND button = GetDlgItem(dialog_, control);
    if (button && IsWindowEnabled(button) && IsWindowVisible(button))
      PostMessageA(dialog_, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  }
  void Key(ui::Key key) override {
    static const WPARAM kKeys[] = {VK_TAB, VK_RIGHT, VK_LEFT, VK_RETURN, VK_ESCAPE, VK_F1, 'A'};
    HWND target = GetFocus();
    if (!target || (target != dialog_ && !IsChild(dialog_, target))) target = dialog_;
    PostMessageA(target, WM_KEYDOWN, kKeys[static_cast<int>(key)], 1);
  }
  void CloseBox() override { PostMessageA(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0); }
  // A left click on the first character of the link, which the contract
  // puts at the start of the message area.
  void ClickLink(const std::string&) override {
    HWND edit = GetDlgItem(dialog_, ui::kMessageArea);
    LRESULT at = SendMessageA(edit, EM_POSFROMCHAR, 0, 0);
    LPARAM where = MAKELPARAM(LOWORD(at) + 2, HIWORD(at) + 2);
    PostMessageA(edit, WM_LBUTTONDOWN, MK_LBUTTON, where);
    PostMessageA(edit, WM_LBUTTONUP, 0, where);
  }
  void AnswerBox(ui::Answer answer) override {
    HWND box = FindWindowA("#32770", "Message");
    if (box) PostMessageA(box, WM_COMMAND, answer == ui::Answer::kOk ? IDOK : IDCANCEL, 0);
  }
  std::int64_t NowMs() override { return static_cast<std::int64_t>(GetTickCount64()); }
  resources::PixelRect TemplatePixels(const resources::DialogRect& r) override {
    // The dialog manager scales each of the four numbers on its own.
    RECT units{r.left, r.top, r.width, r.height};
    MapDialogRect(dialog_, &units);
    return {units.left, units.top, units.right, units.bottom};
  }

 private:
  std::unique_ptr<ui::WindowSystem> window_;
  HWND dialog_ = nullptr;
};

}  // namespace

namespace contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Dialog, WindowContract, DialogDriver);
}  // namespace contract
