// The desktop front end of the Windows build: the update window and the
// install window as real dialogs made from the program's templates 102 and
// 103 (resources/harbinor.rc), behind the same window interface as the
// other front ends. Texts are 8-bit strings in the system's ANSI code page,
// as everywhere in the window logic, so the ANSI functions of the window
// system take them as they are.
//
// The window logic pumps the messages itself (DispatchOne, WaitForEvents).
// Keys that the window interface defines (Tab, the arrows, Enter, Esc, F1)
// are taken out of the queue before the dialog manager sees them, so they
// behave here exactly as in the other front ends, and go to the logic's key
// filter during a run.
//
// The program is DPI aware (its manifest says so), so the system no longer
// stretches the window on a screen of more than 96 DPI. The window logic
// still lays the window out in the pixels of a 96-DPI screen; every size,
// place and font height it hands over is scaled here by the window's DPI /
// 96, and what it reads back (the client size, a control's place, a text's
// size) is scaled back, so the logic is the same on every screen. When the
// window moves to a screen of another DPI, it is scaled again to match.
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/shell.h"
#include "platform/terminal.h"
#include "resources/window_templates.h"
#include "ui/front_end.h"
#include "ui/link_finder.h"

namespace ui::win32 {
namespace {

constexpr int kIconId = 128;
constexpr std::size_t kLinkBuffer = 260;
constexpr int kLogicalDpi = 96;

// Newer than the Windows this program still runs on (7), so found at run
// time, and named here because the headers hide them below Windows 10.
constexpr UINT kDpiChangedMessage = 0x02E0;  // WM_DPICHANGED
constexpr int kDisableDialogDpiScaling = 1;  // DDC_DISABLE_ALL

template <typename Function>
Function User32Function(const char* name) {
  FARPROC found = GetProcAddress(GetModuleHandleA("user32.dll"), name);
  return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

// The DPI the window is shown at: its monitor's where the system can say
// (Windows 10 since 1607), otherwise the system's.
int DpiOf(HWND window) {
  static const auto getDpiForWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  if (getDpiForWindow) {
    if (UINT dpi = getDpiForWindow(window)) return static_cast<int>(dpi);
  }
  HDC dc = GetDC(window);
  int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc) ReleaseDC(window, dc);
  return dpi > 0 ? dpi : kLogicalDpi;
}

// A system metric (an icon size) at a DPI.
int MetricAt(int metric, int dpi) {
  static const auto getSystemMetricsForDpi = User32Function<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
  if (getSystemMetricsForDpi) return getSystemMetricsForDpi(metric, static_cast<UINT>(dpi));
  return GetSystemMetrics(metric);
}

const resources::WindowTemplate& TemplateOf(WindowTemplate which) {
  return which == WindowTemplate::kUpdateWindow ? resources::UpdateWindowTemplate()
                                                : resources::InstallWindowTemplate();
}

// The message box being opened by this thread, and the labels its buttons
// get: a message box has no way to take them but a hook that sees it come.
thread_local HHOOK boxHook = nullptr;
thread_local const std::string* boxOk = nullptr;
thread_local const std::string* boxCancel = nullptr;

LRESULT CALLBACK LabelBoxButtons(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(wParam);
    if (boxOk) SetDlgItemTextA(box, IDOK, boxOk->c_str());
    if (boxCancel) SetDlgItemTextA(box, IDCANCEL, boxCancel->c_str());
    UnhookWindowsHookEx(boxHook);
    boxHook = nullptr;
    return 0;
  }
  return CallNextHookEx(boxHook, code, wParam, lParam);
}

class DialogWindow final : public WindowSystem {
 public:
  explicit DialogWindow(WindowTemplate which) : template_(TemplateOf(which)) {}
  ~DialogWindow() override {
    if (dialog_) ::DestroyWindow(dialog_);
    if (font_) DeleteObject(font_);
    for (HICON icon : icons_) {
      if (icon) DestroyIcon(icon);
    }
    if (richEdit20_) FreeLibrary(richEdit20_);
  }

  bool Create() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // The template's message area is a version-1 rich edit, whose class
    // exists once its library is loaded.
    if (template_.Find(kMessageArea)) LoadLibraryA("RICHED32.DLL");
    dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(template_.id), nullptr,
                                 &DialogWindow::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!dialog_) return false;
    // The dialog manager made the template's controls and font for the
    // window's DPI already; from now on a change of DPI is this window's.
    dpi_ = DpiOf(dialog_);
    static const auto setDialogDpiChangeBehavior =
        User32Function<BOOL(WINAPI*)(HWND, int, int)>("SetDialogDpiChangeBehavior");
    if (setDialogDpiChangeBehavior)
      setDialogDpiChangeBehavior(dialog_, kDisableDialogDpiScaling, kDisableDialogDpiScaling);
    for (const resources::ControlTemplate& c : template_.controls) {
      if (c.tabStop) tabOrder_.push_back(c.id);
    }
    if (template_.Find(kMessageArea)) UpgradeMessageArea();
    LoadIcons();
    title_ = template_.title;
    focus_ = 0;
    FocusAwayFromUnusable();
    return true;
  }

  void SetEventSink(WindowEvents* sink) override { sink_ = sink; }

  void SetTitle(std::string_view title) override {
    title_ = std::string(title);
    if (dialog_) SetWindowTextA(dialog_, title_.c_str());
  }
  std::string Title() const override { return title_; }
  void ShowWindow() override {
    if (!dialog_) return;
    ::ShowWindow(dialog_, SW_SHOW);
    SetForegroundWindow(dialog_);
    if (focus_) SetFocus(Control(focus_));
  }
  void HideWindow() override {
    if (dialog_) ::ShowWindow(dialog_, SW_HIDE);
  }
  bool IsVisible() const override { return dialog_ && IsWindowVisible(dialog_); }
  void DestroyWindow() override {
    if (!dialog_) return;
    HWND dialog = std::exchange(dialog_, nullptr);
    ::DestroyWindow(dialog);
  }
  bool IsDestroyed() const override { return dialog_ == nullptr; }
  void ResizeWindow(Size outer) override {
    if (dialog_)
      SetWindowPos(dialog_, nullptr, 0, 0, Scaled(outer.width), Scaled(outer.height),
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  Size ClientSize() const override {
    RECT r{};
    if (dialog_) GetClientRect(dialog_, &r);
    return {Unscaled(r.right - r.left), Unscaled(r.bottom - r.top)};
  }
  void SetFont(std::string_view face, int height) override {
    if (!dialog_) return;
    LOGFONTA font{};
    font.lfHeight = -Scaled(height);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    std::string(face).copy(font.lfFaceName, LF_FACESIZE - 1);
    if (UseFont(font)) fontHeight_ = height;
  }

  void SetText(int control, std::string_view text) override {
    HWND hwnd = Control(control);
    if (!hwnd) return;
    texts_[control] = std::string(text);
    SetWindowTextA(hwnd, texts_[control].c_str());
    if (control == kMessageArea && richEdit20_) MarkLinks();
  }
  std::string Text(int control) const override {
    auto it = texts_.find(control);
    return it == texts_.end() ? std::string() : it->second;
  }
  void Enable(int control, bool enabled) override {
    if (HWND hwnd = Control(control)) EnableWindow(hwnd, enabled);
    FocusAwayFromUnusable();
  }
  bool IsEnabled(int control) const override {
    HWND hwnd = Control(control);
    return hwnd && IsWindowEnabled(hwnd);
  }
  void Show(int control, bool visible) override {
    if (HWND hwnd = Control(control)) ::ShowWindow(hwnd, visible ? SW_SHOW : SW_HIDE);
    FocusAwayFromUnusable();
  }
  bool IsShown(int control) const override {
    HWND hwnd = Control(control);
    return hwnd && (GetWindowLongA(hwnd, GWL_STYLE) & WS_VISIBLE);
  }
  void Focus(int control) override {
    HWND hwnd = Control(control);
    if (!hwnd) return;
    focus_ = control;
    // The dialog manager moves the default-button look along with the focus.
    SendMessageA(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hwnd), TRUE);
  }
  int FocusedControl() const override { return focus_; }
  void MoveFocus(bool forward) override {
    const int n = static_cast<int>(tabOrder_.size());
    if (n == 0) return;
    int at = static_cast<int>(std::find(tabOrder_.begin(), tabOrder_.end(), focus_) - tabOrder_.begin());
    if (at == n) at = forward ? n - 1 : 0;
    for (int step = 1; step <= n; ++step) {
      int id = tabOrder_[static_cast<std::size_t>(((forward ? at + step : at - step) % n + n) % n)];
      if (IsEnabled(id) && IsShown(id)) {
        Focus(id);
        return;
      }
    }
  }
  // A control's edges are scaled, not its width and height, so that
  // controls that meet in the logic's layout meet on the screen too.
  void Move(int control, Rect placement) override {
    if (HWND hwnd = Control(control)) PlaceControl(hwnd, placement);
  }
  Rect Placement(int control) const override {
    HWND hwnd = Control(control);
    if (!hwnd) return {};
    RECT r = PixelRect(hwnd);
    int left = Unscaled(r.left), top = Unscaled(r.top);
    return {left, top, Unscaled(r.right) - left, Unscaled(r.bottom) - top};
  }
  // Rounded up, so that a control made as wide as a text holds it.
  Size MeasureText(int control) const override {
    HWND hwnd = Control(control);
    if (!hwnd) return {};
    std::string text = Text(control).substr(0, 260);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(hwnd, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    DeleteDC(dc);
    return {UnscaledUp(size.cx), UnscaledUp(size.cy)};
  }

  void SetProgressRange(std::int32_t maximum) override {
    range_ = std::max(maximum, 0);
    position_ = std::clamp(position_, 0, range_);
    HWND bar = Control(kProgressBar);
    SendMessageA(bar, PBM_SETRANGE32, 0, range_);
    SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position_), 0);
  }
  void SetProgress(std::int32_t position) override {
    position_ = std::clamp(position, 0, range_);
    SendMessageA(Control(kProgressBar), PBM_SETPOS, static_cast<WPARAM>(position_), 0);
  }
  std::int32_t Progress() const override { return position_; }

  void StartTimer(int id, int periodMs) override {
    if (dialog_) SetTimer(dialog_, static_cast<UINT_PTR>(id), static_cast<UINT>(std::max(periodMs, 1)), nullptr);
  }
  void StopTimer(int id) override {
    if (dialog_) KillTimer(dialog_, static_cast<UINT_PTR>(id));
  }
  void PostCommand(int id) override {
    if (dialog_) PostMessageA(dialog_, WM_COMMAND, static_cast<WPARAM>(id), 0);
  }

  Answer AskOkCancel(std::string_view text, std::string_view caption, MessageIcon icon) override {
    boxOk = &okLabel_;
    boxCancel = &cancelLabel_;
    boxHook = SetWindowsHookExA(WH_CBT, &LabelBoxButtons, nullptr, GetCurrentThreadId());
    UINT type = MB_OKCANCEL | (icon == MessageIcon::kQuestion ? MB_ICONQUESTION : MB_ICONEXCLAMATION);
    int answer = MessageBoxA(dialog_, std::string(text).c_str(), std::string(caption).c_str(), type);
    if (boxHook) UnhookWindowsHookEx(std::exchange(boxHook, nullptr));
    boxOk = boxCancel = nullptr;
    return answer == IDOK ? Answer::kOk : Answer::kCancel;
  }
  void SetMessageBoxLabels(std::string_view ok, std::string_view cancel) override {
    okLabel_ = std::string(ok);
    cancelLabel_ = std::string(cancel);
  }

  bool DispatchOne(const KeyFilter* keyFilter) override {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    if (dialog_ && msg.message == WM_KEYDOWN && (msg.hwnd == dialog_ || IsChild(dialog_, msg.hwnd))) {
      if (std::optional<Key> key = KeyOf(msg.wParam)) {
        if (keyFilter && *keyFilter) {
          (*keyFilter)(*key);
        } else {
          HandleKey(*key);
        }
        return true;
      }
      if (keyFilter && *keyFilter) {
        (*keyFilter)(Key::kOther);
        return true;
      }
    }
    if (!dialog_ || !IsDialogMessageA(dialog_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    NoteFocus();
    return true;
  }
  void WaitForEvents(int maxMs) override {
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::max(maxMs, 0)), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
  void RunMessageLoop() override {
    while (dialog_) {
      if (!DispatchOne(nullptr)) WaitForEvents(500);
    }
  }

  void OpenHelpTopic(const std::string& chmPath, const std::string& topic) override {
    platform::OpenHelpTopic(chmPath, topic);
  }
  void OpenLink(std::string_view link) override { platform::OpenUrl(link); }

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      return FALSE;  // the focus is set by the window
    }
    auto* self = reinterpret_cast<DialogWindow*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (self && message == kDpiChangedMessage) {
      self->ChangeDpi(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return TRUE;
    }
    if (!self || !self->sink_) return FALSE;
    switch (message) {
      case WM_COMMAND:
        // A click, Enter on the default button (IDOK = 1) and Esc (IDCANCEL
        // = 2) all come as the command of their control.
        if (HIWORD(wParam) == BN_CLICKED || lParam == 0) self->Command(LOWORD(wParam));
        return TRUE;
      case WM_TIMER:
        self->sink_->OnTimer(static_cast<int>(wParam));
        return TRUE;
      case WM_CLOSE:  // the close box and Alt-F4
        if (self->template_.closable) self->sink_->OnCommand(kCloseButton);
        return TRUE;
      case WM_HELP:
        self->sink_->OnHelpRequest();
        return TRUE;
      case WM_NOTIFY:
        return self->OnNotify(reinterpret_cast<const NMHDR*>(lParam));
      default:
        return FALSE;
    }
  }

  void Command(int id) {
    if (id == kCloseButton && !template_.closable) return;
    sink_->OnCommand(id);
  }

  BOOL OnNotify(const NMHDR* header) {
    if (header->idFrom != static_cast<UINT_PTR>(kMessageArea) || header->code != EN_LINK) return FALSE;
    const auto* link = reinterpret_cast<const ENLINK*>(header);
    // Only a left click counts, on its release.
    if (link->msg != WM_LBUTTONUP) return FALSE;
    char buffer[kLinkBuffer] = {};
    TEXTRANGEA range{link->chrg, buffer};
    range.chrg.cpMax = std::min<LONG>(range.chrg.cpMax, range.chrg.cpMin + static_cast<LONG>(kLinkBuffer - 1));
    SendMessageA(header->hwndFrom, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&range));
    sink_->OnLinkClicked(buffer);
    return TRUE;
  }

  HWND Control(int id) const { return dialog_ ? GetDlgItem(dialog_, id) : nullptr; }

  // Logical (96-DPI) pixels to the window's pixels and back, rounded to the
  // nearest; for a DPI of 96 or more the way back gives what went in.
  int Scaled(int logical) const { return MulDiv(logical, dpi_, kLogicalDpi); }
  int Unscaled(int pixels) const { return MulDiv(pixels, kLogicalDpi, dpi_); }
  int UnscaledUp(int pixels) const { return (pixels * kLogicalDpi + dpi_ - 1) / dpi_; }

  // A control's rectangle in the window's client pixels.
  RECT PixelRect(HWND control) const {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, dialog_, reinterpret_cast<POINT*>(&r), 2);
    return r;
  }

  void PlaceControl(HWND control, Rect logical) {
    int left = Scaled(logical.left), top = Scaled(logical.top);
    MoveWindow(control, left, top, Scaled(logical.left + logical.width) - left,
               Scaled(logical.top + logical.height) - top, TRUE);
  }

  // Gives every control the font, which the window then owns.
  bool UseFont(const LOGFONTA& description) {
    HFONT font = CreateFontIndirectA(&description);
    if (!font) return false;
    for (HWND child = GetWindow(dialog_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
      SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (font_) DeleteObject(font_);
    font_ = font;
    return true;
  }

  // The icon at the sizes of the window's DPI: the file's 256-pixel image
  // gives the large ones.
  void LoadIcons() {
    HINSTANCE self = GetModuleHandleA(nullptr);
    const std::pair<WPARAM, int> kinds[] = {{ICON_BIG, SM_CXICON}, {ICON_SMALL, SM_CXSMICON}};
    for (std::size_t i = 0; i < std::size(kinds); ++i) {
      int size = MetricAt(kinds[i].second, dpi_);
      auto icon = static_cast<HICON>(LoadImageA(self, MAKEINTRESOURCEA(kIconId), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
      if (!icon) continue;
      SendMessageA(dialog_, WM_SETICON, kinds[i].first, reinterpret_cast<LPARAM>(icon));
      if (icons_[i]) DestroyIcon(icons_[i]);
      icons_[i] = icon;
    }
  }

  // The window moved to a screen of another DPI: it takes the place the
  // system suggests, and its controls, font and icons are scaled to match.
  void ChangeDpi(int dpi, const RECT& suggested) {
    if (dpi <= 0) return;
    std::vector<std::pair<HWND, Rect>> places;
    for (HWND child = GetWindow(dialog_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      RECT r = PixelRect(child);
      int left = Unscaled(r.left), top = Unscaled(r.top);
      places.push_back({child, {left, top, Unscaled(r.right) - left, Unscaled(r.bottom) - top}});
    }
    LOGFONTA font{};
    HGDIOBJ current = reinterpret_cast<HGDIOBJ>(SendMessageA(dialog_, WM_GETFONT, 0, 0));
    if (font_) current = font_;
    bool haveFont = current && GetObjectA(current, sizeof font, &font) == sizeof font;
    const int oldDpi = std::exchange(dpi_, dpi);
    SetWindowPos(dialog_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    for (const auto& [child, place] : places) PlaceControl(child, place);
    if (haveFont) {
      // The logic's font from its own height; the template's scaled as it is.
      font.lfHeight = fontHeight_ ? -Scaled(fontHeight_) : MulDiv(font.lfHeight, dpi, oldDpi);
      // A new font may set the format of all of the rich edit's text, the
      // links' marks included, so they are marked again.
      if (UseFont(font) && richEdit20_ && Control(kMessageArea)) MarkLinks();
    }
    LoadIcons();
  }

  // Puts the version-2 rich edit in place of the template's, which can
  // show links; the template's stays when the library is missing.
  void UpgradeMessageArea() {
    HWND old = Control(kMessageArea);
    richEdit20_ = LoadLibraryA("RICHED20.DLL");
    if (!old || !richEdit20_) return;
    RECT place = PixelRect(old);
    LONG style = GetWindowLongA(old, GWL_STYLE);
    LONG exStyle = GetWindowLongA(old, GWL_EXSTYLE);
    HWND edit = CreateWindowExA(exStyle, "RichEdit20A", "", static_cast<DWORD>(style), place.left, place.top,
                                place.right - place.left, place.bottom - place.top, dialog_,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kMessageArea)),
                                GetModuleHandleA(nullptr), nullptr);
    if (!edit) return;
    // Same place in the tab order as the one it replaces.
    SetWindowPos(edit, old, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ::DestroyWindow(old);
    SendMessageA(edit, EM_SETEVENTMASK, 0, ENM_LINK);
    SendMessageA(edit, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_BTNFACE)));
  }

  // Marks the links of the shared link finder, so that the message area
  // shows as links exactly what the window opens.
  void MarkLinks() {
    HWND edit = Control(kMessageArea);
    GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE, CP_ACP};
    LONG count = static_cast<LONG>(SendMessageA(edit, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0));
    std::string text(static_cast<std::size_t>(count) * 2 + 1, '\0');
    TEXTRANGEA all{{0, count}, text.data()};
    text.resize(static_cast<std::size_t>(SendMessageA(edit, EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&all))));
    CHARFORMAT2A format{};
    format.cbSize = sizeof format;
    format.dwMask = CFM_LINK;
    format.dwEffects = CFE_LINK;
    for (const LinkSpan& span : FindLinks(text)) {
      CHARRANGE range{CharIndex(text, span.begin), CharIndex(text, span.begin + span.length)};
      SendMessageA(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
      SendMessageA(edit, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    }
    CHARRANGE start{0, 0};
    SendMessageA(edit, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&start));
  }

  // The character index of a byte offset of the control's ANSI text.
  static LONG CharIndex(const std::string& text, std::size_t offset) {
    LONG chars = 0;
    for (std::size_t i = 0; i < offset && i < text.size(); ++chars)
      i += IsDBCSLeadByte(static_cast<BYTE>(text[i])) && i + 1 < text.size() ? 2 : 1;
    return chars;
  }

  static std::optional<Key> KeyOf(WPARAM virtualKey) {
    switch (virtualKey) {
      case VK_TAB: return (GetKeyState(VK_SHIFT) & 0x8000) ? Key::kLeft : Key::kTab;
      case VK_RIGHT: return Key::kRight;
      case VK_LEFT: return Key::kLeft;
      case VK_RETURN: return Key::kEnter;
      case VK_ESCAPE: return Key::kEscape;
      case VK_F1: return Key::kF1;
      default: return std::nullopt;
    }
  }

  // The keys outside a run, as every front end has them.
  void HandleKey(Key key) {
    switch (key) {
      case Key::kTab:
      case Key::kRight: MoveFocus(true); break;
      case Key::kLeft: MoveFocus(false); break;
      case Key::kEnter: {
        const resources::ControlTemplate* focused = template_.Find(focus_);
        bool button = focused && (focused->kind == resources::ControlKind::kButton ||
                                  focused->kind == resources::ControlKind::kDefaultButton);
        int target = button ? focus_ : kMainButton;
        if (template_.Find(target) && IsEnabled(target) && IsShown(target) && sink_) sink_->OnCommand(target);
        break;
      }
      case Key::kEscape:
        if (template_.closable && sink_) sink_->OnCommand(kCloseButton);
        break;
      case Key::kF1:
        if (template_.Find(kHelpButton) && sink_) sink_->OnHelpRequest();
        break;
      case Key::kOther: break;
    }
  }

  // The focus never stays on a control that cannot take it.
  void FocusAwayFromUnusable() {
    if (tabOrder_.empty() || (focus_ && IsEnabled(focus_) && IsShown(focus_))) return;
    MoveFocus(true);
  }

  // A click may have moved the focus.
  void NoteFocus() {
    HWND focused = GetFocus();
    if (dialog_ && focused && IsChild(dialog_, focused)) {
      int id = GetDlgCtrlID(focused);
      if (std::find(tabOrder_.begin(), tabOrder_.end(), id) != tabOrder_.end()) focus_ = id;
    }
  }

  const resources::WindowTemplate& template_;
  HWND dialog_ = nullptr;
  HMODULE richEdit20_ = nullptr;
  int dpi_ = kLogicalDpi;
  HFONT font_ = nullptr;
  int fontHeight_ = 0;  // the logic's, in logical pixels; 0 for the template's font
  HICON icons_[2] = {};
  WindowEvents* sink_ = nullptr;
  std::string title_;
  std::map<int, std::string> texts_;
  std::vector<int> tabOrder_;
  int focus_ = 0;
  std::int32_t range_ = 100;
  std::int32_t position_ = 0;
  std::string okLabel_ = "OK";
  std::string cancelLabel_ = "Cancel";
};

}  // namespace
}  // namespace ui::win32

namespace ui {

// Where no dialog can be made (no window station, a missing template), the
// terminal front end shows the window, in a console window of its own when
// the program was started without one.
std::unique_ptr<WindowSystem> CreateDesktopWindow(WindowTemplate which) {
  auto window = std::make_unique<win32::DialogWindow>(which);
  if (window->Create()) return window;
  if (!platform::AttachTerminalIfNone()) return nullptr;
  return CreateConsoleWindow(which);
}

}  // namespace ui
