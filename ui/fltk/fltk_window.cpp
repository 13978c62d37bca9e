#include "ui/fltk/fltk_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Help_View.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Progress.H>
#include <FL/fl_draw.H>
#include <FL/x.H>  // fl_open_display(Display*): FLTK's own would end the process without a display

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/ascii_text.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "resources/window_icon.h"
#include "resources/window_templates.h"
#include "ui/fltk/help_viewer.h"
#include "ui/front_end.h"
#include "ui/link_finder.h"

namespace ui::fltk {

// ---------------------------------------------------------------------------
// Text helpers.

void AppendEscapedHtml(std::string& html, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '<': html += "&lt;"; break;
      case '>': html += "&gt;"; break;
      case '&': html += "&amp;"; break;
      case '"': html += "&quot;"; break;
      default: html.push_back(c);
    }
  }
}

namespace {

// The view breaks lines only between words, and puts a word that is wider
// than the view on a line of its own below the current one. A long address
// is therefore cut into pieces after "/", "?", "&" and "#" (and at least
// every 24 characters) with a tag between them, which the view treats as
// the end of a word without showing a blank.
void AppendBreakableAddress(std::string& html, std::string_view address) {
  auto separator = [](char c) { return c == '/' || c == '?' || c == '&' || c == '#'; };
  std::size_t run = 0;
  for (std::size_t k = 0; k < address.size(); ++k) {
    AppendEscapedHtml(html, address.substr(k, 1));
    ++run;
    if (k + 1 == address.size()) break;
    if ((separator(address[k]) && !separator(address[k + 1])) || run >= 24) {
      html += "<wbr>";
      run = 0;
    }
  }
}

}  // namespace

std::string MessageAreaHtml(std::string_view utf8Text, std::vector<std::string>& links) {
  links.clear();
  std::string html = "<html><body>";
  bool lineStart = true;
  bool afterBlank = false;
  // Plain text: line breaks as <br>, and every blank that HTML would fold
  // into the one before it (or drop at the start of a line) kept as &nbsp;.
  // A "\r\n" pair is one line break.
  auto appendPlain = [&](std::string_view part) {
    for (std::size_t k = 0; k < part.size(); ++k) {
      char c = part[k];
      if (c == '\r' || c == '\n') {
        if (c == '\r' && k + 1 < part.size() && part[k + 1] == '\n') ++k;
        // An empty line would have no height in the view.
        if (lineStart) html += "&nbsp;";
        html += "<br>\n";
        lineStart = true;
        afterBlank = false;
      } else if (c == ' ' || c == '\t') {
        int count = c == '\t' ? 4 : 1;
        for (int n = 0; n < count; ++n) {
          html += lineStart || afterBlank ? "&nbsp;" : " ";
          afterBlank = true;
        }
      } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        // Other control characters show nothing.
      } else {
        AppendEscapedHtml(html, std::string_view(&c, 1));
        lineStart = false;
        afterBlank = false;
      }
    }
  };
  std::size_t done = 0;
  for (const LinkSpan& span : ui::FindLinks(utf8Text)) {
    appendPlain(utf8Text.substr(done, span.begin - done));
    std::string_view address = utf8Text.substr(span.begin, span.length);
    html += "<a href=\"" + std::to_string(links.size()) + "\">";
    AppendBreakableAddress(html, address);
    html += "</a>";
    links.emplace_back(address);
    done = span.begin + span.length;
    lineStart = false;
    afterBlank = false;
  }
  appendPlain(utf8Text.substr(done));
  html += "</body></html>";
  return html;
}

std::optional<std::size_t> LinkIndexOfTarget(std::string_view target) {
  std::size_t cut = target.find_last_of("/:");
  if (cut != std::string_view::npos) target.remove_prefix(cut + 1);
  target = target.substr(0, target.find('#'));
  if (target.empty() || target.size() > 9) return std::nullopt;
  std::size_t index = 0;
  for (char c : target) {
    if (c < '0' || c > '9') return std::nullopt;
    index = index * 10 + static_cast<std::size_t>(c - '0');
  }
  return index;
}

std::string LabelText(std::string_view text) {
  std::string label;
  label.reserve(text.size());
  for (char c : text) {
    label.push_back(c);
    if (c == '@') label.push_back('@');
  }
  return label;
}

// ---------------------------------------------------------------------------
// The window.

void SetWindowIcon(Fl_Window& window) {
  std::vector<std::vector<std::uint8_t>> pixels;
  std::vector<std::unique_ptr<Fl_RGB_Image>> images;
  std::vector<const Fl_RGB_Image*> list;
  for (int size : {16, 32, 48}) {
    pixels.push_back(resources::WindowIconRgba(size));
    images.push_back(std::make_unique<Fl_RGB_Image>(pixels.back().data(), size, size, 4));
    list.push_back(images.back().get());
  }
  // The window keeps copies of the images.
  window.icons(list.data(), static_cast<int>(list.size()));
}

namespace {

// Texts arrive in the locale's charset; FLTK draws UTF-8.
std::string ToScreen(std::string_view text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return std::string(text);
  return platform::Utf16ToUtf8(platform::AnsiToUtf16(text));
}

}  // namespace

// The face goes to the font system by its own name, which knows the
// metric-compatible stand-ins of the Windows faces (Arial as Liberation Sans
// or Nimbus Sans, say). FLTK's own "sans" would be a wider face than the one
// the window's texts were written for, and a text that fits on Windows
// would be cut here.
std::string FontNameForFace(std::string_view face) {
  face = base::TrimBlanks(face);
  // The leading blank marks the plain style for FLTK.
  return " " + std::string(face.empty() ? std::string_view("sans") : face);
}

namespace {

// Each face gets a font slot of its own, kept for the process (FLTK keeps
// the name's pointer). Only the window thread comes here.
Fl_Font FontForFace(std::string_view face) {
  static std::map<std::string, Fl_Font> slots;
  std::string name = FontNameForFace(face);
  auto found = slots.find(name);
  if (found != slots.end()) return found->second;
  Fl_Font slot = static_cast<Fl_Font>(FL_FREE_FONT + static_cast<int>(slots.size()));
  auto inserted = slots.emplace(name, slot).first;
  Fl::set_font(slot, inserted->first.c_str());
  return slot;
}

// The toolkit is set up once per process, on the window thread.
bool EnsureToolkit() {
  static bool ready = false;
  if (ready) return true;
  if (!fl_display) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    fl_open_display(display);
  }
  Fl::scheme("gtk+");
  Fl::background(0xec, 0xec, 0xec);
  Fl::visible_focus(1);
  // Lets another thread wake the window thread's wait (PostCommand).
  Fl::lock();
  ready = true;
  return true;
}

// The default button (Enter presses it): an ordinary button, its label
// centred on all of its width, with a thicker frame as its mark. FLTK's
// return button would give a third of a narrow button to its arrow symbol
// and push the label aside or out of sight.
class DefaultButton : public Fl_Button {
 public:
  using Fl_Button::Fl_Button;

 protected:
  void draw() override {
    Fl_Button::draw();
    fl_color(active_r() ? fl_rgb_color(0x3a, 0x6e, 0xb4) : fl_inactive(fl_rgb_color(0x3a, 0x6e, 0xb4)));
    fl_rect(x(), y(), w(), h());
    fl_rect(x() + 1, y() + 1, w() - 2, h() - 2);
  }
};

// ---------------------------------------------------------------------------
// The window manager's frame.
//
// The logic gives the window's outer size, frame included, and places the
// controls from the client size it reads back at once, before the window is
// shown. The frame is the window manager's, so it is asked for before the
// window exists: an EWMH window manager answers _NET_REQUEST_FRAME_EXTENTS
// for a window that is not mapped yet by setting _NET_FRAME_EXTENTS on it,
// so an unmapped probe window of our own gets the frame that our window will
// get, and the client area is the outer size less that frame from the
// start. Once the window is shown, its own _NET_FRAME_EXTENTS is read; a
// window manager that gave the probe no answer, or another frame, gets the
// client size corrected then (see FitFrameAfterShow). Without a window
// manager there is no frame and the outer size is the client size.

struct FrameExtents {
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
  bool operator==(const FrameExtents&) const = default;
};

// Xlib reports errors of any connection to one process-wide handler; the
// probe's own (a check window that is gone) are expected and ignored.
int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }

struct ProbeConnection {
  ProbeConnection() : display(XOpenDisplay(fl_display ? DisplayString(fl_display) : nullptr)) {
    if (display) previous = XSetErrorHandler(&IgnoreXErrors);
  }
  ~ProbeConnection() {
    if (!display) return;
    XSync(display, False);
    XSetErrorHandler(previous);
    XCloseDisplay(display);
  }
  ProbeConnection(const ProbeConnection&) = delete;
  ProbeConnection& operator=(const ProbeConnection&) = delete;
  Display* display;
  XErrorHandler previous = nullptr;
};

std::optional<std::vector<long>> CardinalProperty(Display* display, ::Window window, const char* name,
                                                  Atom type = XA_CARDINAL) {
  Atom actual;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::vector<long>> values;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 16, False, type, &actual, &format,
                         &count, &after, &data) == Success &&
      data && format == 32) {
    const long* items = reinterpret_cast<const long*>(data);
    values.emplace(items, items + count);
  }
  if (data) XFree(data);
  return values;
}

std::optional<FrameExtents> ReadFrameExtents(Display* display, ::Window window) {
  auto values = CardinalProperty(display, window, "_NET_FRAME_EXTENTS");
  if (!values || values->size() != 4) return std::nullopt;
  return FrameExtents{static_cast<int>((*values)[0]), static_cast<int>((*values)[1]),
                      static_cast<int>((*values)[2]), static_cast<int>((*values)[3])};
}

// The window manager's check window (EWMH), or 0 when none runs. A window
// manager that has gone leaves its property on the root window behind; the
// check window itself is then gone too.
::Window WindowManagerCheck(Display* display) {
  auto onRoot = CardinalProperty(display, DefaultRootWindow(display), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
  if (!onRoot || onRoot->empty()) return 0;
  auto check = static_cast<::Window>((*onRoot)[0]);
  auto onCheck = CardinalProperty(display, check, "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
  return onCheck && !onCheck->empty() && static_cast<::Window>((*onCheck)[0]) == check ? check : 0;
}

// The frame the window manager running now gives a new window; kept for
// as long as the same window manager runs.
FrameExtents ExpectedFrame() {
  static ::Window knownManager = 0;
  static FrameExtents known;
  ProbeConnection probe;
  if (!probe.display) return {};
  ::Window manager = WindowManagerCheck(probe.display);
  if (!manager) return {};
  if (manager == knownManager) return known;
  ::Window root = DefaultRootWindow(probe.display);
  ::Window window = XCreateSimpleWindow(probe.display, root, 0, 0, 100, 100, 0, 0, 0);
  XSelectInput(probe.display, window, PropertyChangeMask);
  // Of a fixed size, as our windows are: a window manager may give a
  // window that can be resized a thicker frame (openbox: a grip below).
  if (XSizeHints* hints = XAllocSizeHints()) {
    hints->flags = PMinSize | PMaxSize;
    hints->min_width = hints->max_width = hints->min_height = hints->max_height = 100;
    XSetWMNormalHints(probe.display, window, hints);
    XFree(hints);
  }
  Atom extents = XInternAtom(probe.display, "_NET_FRAME_EXTENTS", False);
  XEvent request{};
  request.xclient.type = ClientMessage;
  request.xclient.window = window;
  request.xclient.message_type = XInternAtom(probe.display, "_NET_REQUEST_FRAME_EXTENTS", False);
  request.xclient.format = 32;
  XSendEvent(probe.display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &request);
  XFlush(probe.display);
  FrameExtents frame;
  bool answered = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (!answered && std::chrono::steady_clock::now() < deadline) {
    XEvent event;
    if (XCheckTypedWindowEvent(probe.display, window, PropertyNotify, &event)) {
      if (event.xproperty.atom != extents) continue;
      if (auto read = ReadFrameExtents(probe.display, window)) {
        frame = *read;
        answered = true;
      }
      continue;
    }
    pollfd wait{ConnectionNumber(probe.display), POLLIN, 0};
    poll(&wait, 1, 20);
  }
  XDestroyWindow(probe.display, window);
  // Without an answer the frame is found once the window is shown.
  if (answered) {
    knownManager = manager;
    known = frame;
  }
  return frame;
}

// Static text as a system label draws it: from its very edge, on its own
// background (a shorter text leaves no trace of a longer one before it),
// cut at its end. FLTK's labels keep 3 pixels free at either side, which a
// text that the logic fitted to the control's width does not have.
class StaticText : public Fl_Box {
 public:
  StaticText(int x, int y, int w, int h) : Fl_Box(FL_FLAT_BOX, x, y, w, h, nullptr) {}

 protected:
  void draw() override {
    draw_box();
    if (!label() || !*label()) return;
    fl_font(labelfont(), labelsize());
    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    fl_push_clip(x(), y(), w(), h());
    fl_draw(label(), x(), y(), w(), h(), align(), nullptr, 1);
    fl_pop_clip();
  }
};

// The picture of a message box: a blue disc with "?" for a question, an
// amber triangle with "!" for a warning.
class BoxIcon : public Fl_Widget {
 public:
  BoxIcon(int x, int y, int w, int h, MessageIcon icon) : Fl_Widget(x, y, w, h), icon_(icon) {}

 protected:
  void draw() override {
    if (icon_ == MessageIcon::kQuestion) {
      fl_color(fl_rgb_color(0x2f, 0x7b, 0xd9));
      fl_pie(x(), y(), w(), h(), 0, 360);
      fl_color(FL_WHITE);
      fl_font(FL_HELVETICA_BOLD, h() * 2 / 3);
      fl_draw("?", x(), y(), w(), h(), FL_ALIGN_CENTER, nullptr, 0);
    } else {
      fl_color(fl_rgb_color(0xf2, 0xb1, 0x2c));
      fl_polygon(x() + w() / 2, y() + 1, x() + w() - 1, y() + h() - 2, x(), y() + h() - 2);
      fl_color(FL_BLACK);
      fl_font(FL_HELVETICA_BOLD, h() / 2);
      fl_draw("!", x(), y() + h() / 6, w(), h() - h() / 6, FL_ALIGN_CENTER, nullptr, 0);
    }
  }

 private:
  MessageIcon icon_;
};

// The message box's window: Enter presses the button that has the focus
// (or OK), Esc and the close box answer Cancel.
class BoxWindow : public Fl_Double_Window {
 public:
  using Fl_Double_Window::Fl_Double_Window;
  Fl_Widget* cancel = nullptr;
  bool answered = false;
  Answer answer = Answer::kCancel;

  void Close(Answer value) {
    answered = true;
    answer = value;
    hide();
  }

  int handle(int event) override {
    if (event == FL_KEYBOARD && (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      Close(Fl::focus() == cancel ? Answer::kCancel : Answer::kOk);
      return 1;
    }
    return Fl_Double_Window::handle(event);
  }
};

Key KeyOf(int fltkKey) {
  switch (fltkKey) {
    case FL_Tab: return Key::kTab;
    case FL_Right: return Key::kRight;
    case FL_Left: return Key::kLeft;
    case FL_Enter:
    case FL_KP_Enter: return Key::kEnter;
    case FL_Escape: return Key::kEscape;
    case FL_F + 1: return Key::kF1;
    default: return Key::kOther;
  }
}

// The view of the message area does not ask for the focus itself; it is
// given it.
void TakeFocus(Fl_Widget* widget) {
  if (!widget->take_focus()) Fl::focus(widget);
}

class FltkWindow;
std::vector<FltkWindow*>& LiveWindows() {
  static std::vector<FltkWindow*> windows;
  return windows;
}

int DispatchHook(int event, Fl_Window* window);

class FltkWindow final : public WindowSystem {
 public:
  explicit FltkWindow(WindowTemplate which);
  ~FltkWindow() override;
  FltkWindow(const FltkWindow&) = delete;
  FltkWindow& operator=(const FltkWindow&) = delete;

  void SetEventSink(WindowEvents* sink) override { sink_ = sink; }
  void SetTitle(std::string_view title) override;
  std::string Title() const override { return title_; }
  void ShowWindow() override;
  void HideWindow() override {
    if (destroyed_) return;
    window_->hide();
    Fl::flush();
  }
  bool IsVisible() const override { return !destroyed_ && window_->shown(); }
  void DestroyWindow() override;
  bool IsDestroyed() const override { return destroyed_; }
  void ResizeWindow(Size outer) override;
  Size ClientSize() const override { return {window_->w(), window_->h()}; }
  void SetFont(std::string_view face, int height) override;

  void SetText(int control, std::string_view text) override;
  std::string Text(int control) const override;
  void Enable(int control, bool enabled) override;
  bool IsEnabled(int control) const override;
  void Show(int control, bool visible) override;
  bool IsShown(int control) const override;
  void Focus(int control) override;
  int FocusedControl() const override;
  void MoveFocus(bool forward) override;
  void Move(int control, Rect placement) override;
  Rect Placement(int control) const override;
  Size MeasureText(int control) const override;

  void SetProgressRange(std::int32_t maximum) override;
  void SetProgress(std::int32_t position) override;
  std::int32_t Progress() const override { return position_; }

  void StartTimer(int id, int periodMs) override;
  void StopTimer(int id) override;
  void PostCommand(int id) override;

  Answer AskOkCancel(std::string_view text, std::string_view caption, MessageIcon icon) override;
  void SetMessageBoxLabels(std::string_view ok, std::string_view cancel) override {
    okLabel_ = ok;
    cancelLabel_ = cancel;
  }

  bool DispatchOne(const KeyFilter* keyFilter) override;
  void WaitForEvents(int maxMs) override;
  void RunMessageLoop() override;

  void OpenHelpTopic(const std::string& chmPath, const std::string& topic) override;
  void OpenLink(std::string_view link) override { platform::OpenUrl(link); }

  // For the dispatch hook: whether `window` is ours, and whether a key
  // press for it went into our queue instead of to FLTK.
  bool Owns(const Fl_Window* window) const { return window == window_.get(); }
  bool TakeKey();
  void NoteFocus();

 private:
  struct Event {
    enum class Kind { kCommand, kTimer, kHelp, kLink, kKey };
    Kind kind = Kind::kCommand;
    int id = 0;
    Key key = Key::kOther;
    int fltkKey = 0;
    bool shift = false;
    std::string link;
  };
  struct Control {
    Fl_Widget* widget = nullptr;  // owned by the window
    std::string text;
  };
  struct TimerSlot {
    FltkWindow* owner = nullptr;
    int id = 0;
    double seconds = 0;
  };

  void Build(const resources::WindowTemplate& layout);
  Fl_Widget* AddControl(const resources::ControlTemplate& control);
  Fl_Widget* Widget(int control) const;
  int IdOf(const Fl_Widget* widget) const;
  bool TakesFocus(int control) const;
  void MoveFocusFrom(int from, bool forward);
  void ApplyFont();
  void FitFrameAfterShow();

  void Push(Event event);
  bool Pop(Event& event);
  bool HasQueued() const;
  void Deliver(const Event& event, const KeyFilter* keyFilter);
  void HandleKey(const Event& event);
  void DeliverQueuedTimers();

  static void OnButton(Fl_Widget* widget, void* data);
  static void OnCloseBox(Fl_Widget* widget, void* data);
  static void OnTimeout(void* data);
  static const char* OnLink(Fl_Widget* widget, const char* target);

  bool closable_ = true;
  int defaultButton_ = 0;
  std::vector<int> tabOrder_;
  // The outer size the logic asked for, and the frame the client area was
  // sized with; none before the first ResizeWindow.
  std::optional<Size> outer_;
  FrameExtents frame_;
  std::thread::id thread_ = std::this_thread::get_id();
  std::unique_ptr<Fl_Double_Window> window_;
  std::map<int, Control> controls_;
  Fl_Help_View* message_ = nullptr;
  Fl_Progress* progress_ = nullptr;
  std::vector<std::string> links_;
  std::string title_;
  std::string okLabel_ = "OK";
  std::string cancelLabel_ = "Cancel";
  Fl_Font font_ = FL_HELVETICA;
  int fontSize_ = 12;
  std::int32_t range_ = 100;
  std::int32_t position_ = 0;
  std::map<int, std::unique_ptr<TimerSlot>> timers_;
  mutable std::mutex queueMutex_;
  std::deque<Event> queue_;
  WindowEvents* sink_ = nullptr;
  bool destroyed_ = false;
  bool everShown_ = false;
  bool keyFilterActive_ = false;
  int boxesOpen_ = 0;
  int focusId_ = 0;
  std::unique_ptr<HelpViewer> help_;
};

FltkWindow::FltkWindow(WindowTemplate which) {
  Build(which == WindowTemplate::kUpdateWindow ? resources::UpdateWindowTemplate()
                                                 : resources::InstallWindowTemplate());
  window_->callback(&FltkWindow::OnCloseBox, this);
  window_->xclass("Harbinor");
  SetWindowIcon(*window_);
  ApplyFont();
  LiveWindows().push_back(this);
  Fl::event_dispatch(&DispatchHook);
}

FltkWindow::~FltkWindow() {
  for (auto& [id, slot] : timers_) Fl::remove_timeout(&FltkWindow::OnTimeout, slot.get());
  timers_.clear();
  auto& live = LiveWindows();
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
  help_.reset();
  window_->hide();
  window_.reset();
  Fl::flush();
}

// The window as its template has it: title, client size and every
// control's place in pixels, whether it starts enabled and shown, and the
// order of the tab stops. The window logic then sizes the update window and
// places its controls itself; the install window keeps its template.
void FltkWindow::Build(const resources::WindowTemplate& layout) {
  window_ = std::make_unique<Fl_Double_Window>(resources::DialogUnitsToPixelsX(layout.width),
                                               resources::DialogUnitsToPixelsY(layout.height));
  title_ = layout.title;
  window_->copy_label(title_.c_str());
  closable_ = layout.closable;
  for (const resources::ControlTemplate& control : layout.controls) {
    Fl_Widget* widget = AddControl(control);
    controls_[control.id].widget = widget;
    if (!control.enabled) widget->deactivate();
    if (!control.visible) widget->hide();
    if (control.tabStop) tabOrder_.push_back(control.id);
    if (control.kind == resources::ControlKind::kDefaultButton) defaultButton_ = control.id;
  }
  window_->end();
  // The logic places every control itself: a change of the window's size
  // moves none of them (and the user cannot resize it, as a dialog box).
  window_->resizable(nullptr);
  for (int id : tabOrder_) {
    if (TakesFocus(id)) {
      focusId_ = id;
      break;
    }
  }
}

Fl_Widget* FltkWindow::AddControl(const resources::ControlTemplate& control) {
  resources::PixelRect r = resources::ToPixels(control.rect);
  using Kind = resources::ControlKind;
  switch (control.kind) {
    case Kind::kDefaultButton:
    case Kind::kButton: {
      Fl_Button* button = control.kind == Kind::kDefaultButton ? new DefaultButton(r.left, r.top, r.width, r.height)
                                                               : new Fl_Button(r.left, r.top, r.width, r.height);
      button->callback(&FltkWindow::OnButton, this);
      button->when(FL_WHEN_RELEASE);
      return button;
    }
    case Kind::kLabel:
    case Kind::kRightLabel: {
      auto* text = new StaticText(r.left, r.top, r.width, r.height);
      text->align((control.kind == Kind::kLabel ? FL_ALIGN_TOP_LEFT : FL_ALIGN_TOP_RIGHT) | FL_ALIGN_INSIDE);
      return text;
    }
    case Kind::kProgressBar:
      progress_ = new Fl_Progress(r.left, r.top, r.width, r.height);
      progress_->minimum(0);
      progress_->maximum(static_cast<float>(range_));
      progress_->value(0);
      progress_->selection_color(fl_rgb_color(0x3a, 0x86, 0xe0));
      return progress_;
    case Kind::kMessageArea:
      // A tab stop, as the read-only edit control it stands for; keys that
      // are not the window's (Ctrl+C) go to the view.
      message_ = new Fl_Help_View(r.left, r.top, r.width, r.height);
      message_->box(FL_THIN_DOWN_BOX);
      message_->color(FL_BACKGROUND_COLOR);
      message_->user_data(this);
      message_->link(&FltkWindow::OnLink);
      message_->value(MessageAreaHtml("", links_).c_str());
      return message_;
  }
  return new Fl_Box(r.left, r.top, r.width, r.height);
}

Fl_Widget* FltkWindow::Widget(int control) const {
  auto it = controls_.find(control);
  return it == controls_.end() ? nullptr : it->second.widget;
}

int FltkWindow::IdOf(const Fl_Widget* widget) const {
  if (!widget) return 0;
  for (const auto& [id, control] : controls_)
    if (control.widget == widget) return id;
  return 0;
}

bool FltkWindow::TakesFocus(int control) const {
  if (std::find(tabOrder_.begin(), tabOrder_.end(), control) == tabOrder_.end()) return false;
  Fl_Widget* widget = Widget(control);
  return widget && widget->active() && widget->visible();
}

void FltkWindow::ApplyFont() {
  for (auto& [id, control] : controls_) {
    control.widget->labelfont(font_);
    control.widget->labelsize(fontSize_);
  }
  if (message_) {
    message_->textfont(font_);
    message_->textsize(fontSize_);
  }
  window_->redraw();
}

void FltkWindow::SetTitle(std::string_view title) {
  title_ = std::string(title);
  window_->copy_label(ToScreen(title).c_str());
}

void FltkWindow::ShowWindow() {
  if (destroyed_) return;
  bool first = !everShown_;
  if (first) {
    everShown_ = true;
    // Centred on the screen with its frame; the position is the frame's.
    int outerW = window_->w() + frame_.left + frame_.right;
    int outerH = window_->h() + frame_.top + frame_.bottom;
    window_->position(std::max((Fl::w() - outerW) / 2, 0), std::max((Fl::h() - outerH) / 2, 0));
  }
  window_->show();
  if (TakesFocus(focusId_)) TakeFocus(Widget(focusId_));
  else MoveFocus(true);
  Fl::flush();
  if (first) FitFrameAfterShow();
}

// The frame the window got, once the window manager has taken the window
// (it sets _NET_FRAME_EXTENTS then). When it differs from the frame the
// client area was sized with, the client area is sized again for the outer
// size the logic asked for, and the controls follow the edge they were
// placed from, as the logic lays them out: those starting in the right half
// move with the right edge, those reaching into it from the left grow with
// it; those starting in the lowest quarter (the buttons) move with the
// bottom edge. Nothing is reported to the logic: its layout stays as meant.
void FltkWindow::FitFrameAfterShow() {
  if (!outer_) return;
  ProbeConnection probe;
  if (!probe.display || !WindowManagerCheck(probe.display)) return;
  std::optional<FrameExtents> frame;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (!(frame = ReadFrameExtents(probe.display, fl_xid(window_.get()))) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!frame || *frame == frame_) return;
  frame_ = *frame;
  int oldW = window_->w(), oldH = window_->h();
  int newW = std::max(outer_->width - frame_.left - frame_.right, 1);
  int newH = std::max(outer_->height - frame_.top - frame_.bottom, 1);
  int dw = newW - oldW, dh = newH - oldH;
  for (auto& [id, control] : controls_) {
    Fl_Widget* widget = control.widget;
    int x = widget->x(), y = widget->y(), w = widget->w(), h = widget->h();
    if (x >= oldW / 2) x += dw;
    else if (x + w > oldW / 2) w += dw;
    if (y >= oldH * 3 / 4) y += dh;
    widget->resize(x, y, std::max(w, 0), h);
  }
  window_->size(newW, newH);
  Fl::flush();
}

void FltkWindow::DestroyWindow() {
  if (destroyed_) return;
  for (auto& [id, slot] : timers_) Fl::remove_timeout(&FltkWindow::OnTimeout, slot.get());
  timers_.clear();
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    destroyed_ = true;
    queue_.clear();
  }
  if (help_) help_->Hide();
  window_->hide();
  Fl::flush();
}

void FltkWindow::ResizeWindow(Size outer) {
  outer_ = outer;
  if (!window_->shown()) frame_ = ExpectedFrame();
  window_->size(std::max(outer.width - frame_.left - frame_.right, 1),
                std::max(outer.height - frame_.top - frame_.bottom, 1));
}

void FltkWindow::SetFont(std::string_view face, int height) {
  font_ = FontForFace(face);
  fontSize_ = std::clamp(height, 6, 72);
  ApplyFont();
}

void FltkWindow::SetText(int control, std::string_view text) {
  auto it = controls_.find(control);
  if (it == controls_.end()) return;
  it->second.text = std::string(text);
  if (control == kMessageArea && message_) {
    message_->value(MessageAreaHtml(ToScreen(text), links_).c_str());
  } else if (it->second.widget != progress_) {
    it->second.widget->copy_label(LabelText(ToScreen(text)).c_str());
  }
  it->second.widget->redraw();
}

std::string FltkWindow::Text(int control) const {
  auto it = controls_.find(control);
  return it == controls_.end() ? std::string() : it->second.text;
}

void FltkWindow::Enable(int control, bool enabled) {
  Fl_Widget* widget = Widget(control);
  if (!widget) return;
  if (enabled) {
    widget->activate();
    return;
  }
  // A focused control that becomes disabled gives the focus on, as in a
  // dialog box.
  bool focused = FocusedControl() == control;
  widget->deactivate();
  if (focused) MoveFocusFrom(control, true);
}

bool FltkWindow::IsEnabled(int control) const {
  Fl_Widget* widget = Widget(control);
  return widget && widget->active();
}

void FltkWindow::Show(int control, bool visible) {
  if (Fl_Widget* widget = Widget(control)) {
    if (visible) widget->show();
    else widget->hide();
  }
}

bool FltkWindow::IsShown(int control) const {
  Fl_Widget* widget = Widget(control);
  return widget && widget->visible();
}

void FltkWindow::Focus(int control) {
  if (!TakesFocus(control)) return;
  focusId_ = control;
  if (window_->shown()) TakeFocus(Widget(control));
}

int FltkWindow::FocusedControl() const {
  if (window_->shown()) {
    if (int id = IdOf(Fl::focus()); id && TakesFocus(id)) return id;
  }
  return TakesFocus(focusId_) ? focusId_ : 0;
}

// Tab and the arrows go round the tab stops in the order of the template,
// skipping those that are disabled or hidden.
void FltkWindow::MoveFocus(bool forward) { MoveFocusFrom(FocusedControl(), forward); }

// From a control that does not take the focus (now), the neighbour in the
// full order, as if it still did.
void FltkWindow::MoveFocusFrom(int from, bool forward) {
  const int count = static_cast<int>(tabOrder_.size());
  int at = static_cast<int>(std::find(tabOrder_.begin(), tabOrder_.end(), from) - tabOrder_.begin());
  for (int step = 1; step <= count; ++step) {
    int next;
    if (at == count) next = forward ? step - 1 : count - step;
    else next = ((forward ? at + step : at - step) % count + count) % count;
    if (TakesFocus(tabOrder_[static_cast<std::size_t>(next)])) {
      Focus(tabOrder_[static_cast<std::size_t>(next)]);
      return;
    }
  }
}

void FltkWindow::Move(int control, Rect placement) {
  if (Fl_Widget* widget = Widget(control)) {
    widget->resize(placement.left, placement.top, std::max(placement.width, 0), std::max(placement.height, 0));
    window_->redraw();
  }
}

Rect FltkWindow::Placement(int control) const {
  Fl_Widget* widget = Widget(control);
  if (!widget) return {};
  return {widget->x(), widget->y(), widget->w(), widget->h()};
}

Size FltkWindow::MeasureText(int control) const {
  auto it = controls_.find(control);
  if (it == controls_.end()) return {};
  fl_font(font_, fontSize_);
  std::string text = ToScreen(it->second.text);
  if (text.empty()) return {0, fl_height()};
  int width = 0, height = 0;
  fl_measure(text.c_str(), width, height, 0);
  return {width, height};
}

void FltkWindow::SetProgressRange(std::int32_t maximum) {
  range_ = std::max<std::int32_t>(maximum, 0);
  position_ = std::clamp<std::int32_t>(position_, 0, range_);
  // An empty range is shown as an empty bar.
  progress_->maximum(static_cast<float>(range_ > 0 ? range_ : 1));
  progress_->value(static_cast<float>(position_));
}

void FltkWindow::SetProgress(std::int32_t position) {
  position_ = std::clamp<std::int32_t>(position, 0, range_);
  progress_->value(static_cast<float>(position_));
}

void FltkWindow::StartTimer(int id, int periodMs) {
  StopTimer(id);
  if (destroyed_) return;
  auto slot = std::make_unique<TimerSlot>();
  slot->owner = this;
  slot->id = id;
  slot->seconds = std::max(periodMs, 10) / 1000.0;
  Fl::add_timeout(slot->seconds, &FltkWindow::OnTimeout, slot.get());
  timers_[id] = std::move(slot);
}

void FltkWindow::StopTimer(int id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  Fl::remove_timeout(&FltkWindow::OnTimeout, it->second.get());
  timers_.erase(it);
  std::lock_guard<std::mutex> lock(queueMutex_);
  std::erase_if(queue_, [id](const Event& e) { return e.kind == Event::Kind::kTimer && e.id == id; });
}

void FltkWindow::OnTimeout(void* data) {
  auto* slot = static_cast<TimerSlot*>(data);
  Fl::repeat_timeout(slot->seconds, &FltkWindow::OnTimeout, data);
  FltkWindow* self = slot->owner;
  // Like the system's timer messages: a tick that is still waiting is not
  // joined by a second one of the same timer.
  {
    std::lock_guard<std::mutex> lock(self->queueMutex_);
    for (const Event& e : self->queue_)
      if (e.kind == Event::Kind::kTimer && e.id == slot->id) return;
  }
  Event tick;
  tick.kind = Event::Kind::kTimer;
  tick.id = slot->id;
  self->Push(std::move(tick));
}

void FltkWindow::PostCommand(int id) {
  Event command;
  command.kind = Event::Kind::kCommand;
  command.id = id;
  Push(std::move(command));
  if (std::this_thread::get_id() != thread_) Fl::awake();
}

void FltkWindow::Push(Event event) {
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (destroyed_) return;
  queue_.push_back(std::move(event));
}

bool FltkWindow::Pop(Event& event) {
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (queue_.empty()) return false;
  event = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

bool FltkWindow::HasQueued() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return !queue_.empty();
}

bool FltkWindow::DispatchOne(const KeyFilter* keyFilter) {
  keyFilterActive_ = keyFilter != nullptr && *keyFilter;
  Event event;
  if (!Pop(event)) {
    Fl::check();
    if (!Pop(event)) return false;
  }
  Deliver(event, keyFilter);
  return true;
}

void FltkWindow::WaitForEvents(int maxMs) {
  if (HasQueued()) return;
  Fl::wait(std::max(maxMs, 0) / 1000.0);
}

void FltkWindow::RunMessageLoop() {
  while (!destroyed_) {
    if (!DispatchOne(nullptr)) WaitForEvents(500);
  }
}

void FltkWindow::Deliver(const Event& event, const KeyFilter* keyFilter) {
  switch (event.kind) {
    case Event::Kind::kCommand:
      if (sink_) sink_->OnCommand(event.id);
      break;
    case Event::Kind::kTimer:
      if (sink_ && timers_.count(event.id)) sink_->OnTimer(event.id);
      break;
    case Event::Kind::kHelp:
      if (sink_) sink_->OnHelpRequest();
      break;
    case Event::Kind::kLink:
      if (sink_) sink_->OnLinkClicked(event.link);
      break;
    case Event::Kind::kKey:
      if (keyFilter && *keyFilter) (*keyFilter)(event.key);
      else HandleKey(event);
      break;
  }
}

// Keys outside a run, as a dialog box handles them. A window the user cannot
// close (the install window) ignores them all: it has nothing to press.
void FltkWindow::HandleKey(const Event& event) {
  if (!closable_ || destroyed_) return;
  switch (event.key) {
    case Key::kTab: MoveFocus(!event.shift); break;
    case Key::kRight: MoveFocus(true); break;
    case Key::kLeft: MoveFocus(false); break;
    case Key::kEnter: {
      // The focused button, or else (the message area has the focus) the
      // default button.
      int focused = FocusedControl();
      bool button = dynamic_cast<Fl_Button*>(Widget(focused)) != nullptr;
      int pressed = button && TakesFocus(focused) ? focused : TakesFocus(defaultButton_) ? defaultButton_ : 0;
      if (pressed && sink_) sink_->OnCommand(pressed);
      break;
    }
    case Key::kEscape:
      if (sink_) sink_->OnCommand(kCloseButton);
      break;
    case Key::kF1:
      if (sink_) sink_->OnHelpRequest();
      break;
    case Key::kOther:
      if (event.fltkKey == FL_Down) MoveFocus(true);
      else if (event.fltkKey == FL_Up) MoveFocus(false);
      break;
  }
}

bool FltkWindow::TakeKey() {
  if (destroyed_ || boxesOpen_ > 0) return false;
  int fltkKey = Fl::event_key();
  Key key = KeyOf(fltkKey);
  // Outside a run, keys we give no meaning go on to FLTK (the space bar
  // presses the focused button, Ctrl+C copies from the message area).
  // During a run every key press goes to the run's filter.
  bool ours = key != Key::kOther || fltkKey == FL_Up || fltkKey == FL_Down;
  if (!ours && !keyFilterActive_) return false;
  Event press;
  press.kind = Event::Kind::kKey;
  press.key = key;
  press.fltkKey = fltkKey;
  press.shift = (Fl::event_state() & FL_SHIFT) != 0;
  Push(std::move(press));
  return true;
}

void FltkWindow::NoteFocus() {
  if (int id = IdOf(Fl::focus()); id && TakesFocus(id)) focusId_ = id;
}

void FltkWindow::DeliverQueuedTimers() {
  std::vector<int> ticks;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    for (const Event& e : queue_)
      if (e.kind == Event::Kind::kTimer) ticks.push_back(e.id);
    std::erase_if(queue_, [](const Event& e) { return e.kind == Event::Kind::kTimer; });
  }
  for (int id : ticks)
    if (sink_ && timers_.count(id)) sink_->OnTimer(id);
}

void FltkWindow::OnButton(Fl_Widget* widget, void* data) {
  auto* self = static_cast<FltkWindow*>(data);
  Event command;
  command.kind = Event::Kind::kCommand;
  command.id = self->IdOf(widget);
  if (command.id) self->Push(std::move(command));
}

// The close box: the update window asks its logic (command 2, as the close
// button); the install window cannot be closed.
void FltkWindow::OnCloseBox(Fl_Widget*, void* data) {
  auto* self = static_cast<FltkWindow*>(data);
  if (!self->closable_) return;
  Event command;
  command.kind = Event::Kind::kCommand;
  command.id = kCloseButton;
  self->Push(std::move(command));
}

// Fl_Help_View calls this for a clicked link with the anchor's target. Only
// a release of the left button counts; the view is told to load nothing.
const char* FltkWindow::OnLink(Fl_Widget* widget, const char* target) {
  auto* self = static_cast<FltkWindow*>(widget->user_data());
  auto index = LinkIndexOfTarget(target ? target : "");
  if (self && index && *index < self->links_.size() && Fl::event() == FL_RELEASE &&
      Fl::event_button() == FL_LEFT_MOUSE) {
    Event click;
    click.kind = Event::Kind::kLink;
    click.link = self->links_[*index];
    self->Push(std::move(click));
  }
  return nullptr;
}

Answer FltkWindow::AskOkCancel(std::string_view text, std::string_view caption, MessageIcon icon) {
  constexpr int kMargin = 16, kIcon = 40, kGap = 14, kButtonH = 28;
  std::string message = LabelText(ToScreen(text));
  std::string title = ToScreen(caption);
  std::string okText = ToScreen(okLabel_), cancelText = ToScreen(cancelLabel_);
  fl_font(font_, fontSize_);
  // Both buttons as wide as the longer label needs, and never narrower
  // than a system box's.
  int buttonW = 90;
  for (const std::string& label : {okText, cancelText}) {
    int labelW = 0, labelH = 0;
    fl_measure(label.c_str(), labelW, labelH, 0);
    buttonW = std::max(buttonW, labelW + 24);
  }
  int textW = 0, textH = 0;
  fl_measure(message.c_str(), textW, textH);
  // Long lines wrap, as in a system message box.
  if (textW > 480) {
    textW = 480;
    textH = 0;
    fl_measure(message.c_str(), textW, textH);
  }
  textW += 8;  // a label is drawn a few pixels inside its box
  int contentH = std::max(kIcon, textH);
  int width = std::max(kMargin + kIcon + kGap + textW + kMargin, 2 * kMargin + 2 * buttonW + 10);
  int height = kMargin + contentH + kGap + kButtonH + 12;

  BoxWindow box(width, height);
  box.copy_label(title.c_str());
  new BoxIcon(kMargin, kMargin, kIcon, kIcon, icon);
  auto* label = new Fl_Box(kMargin + kIcon + kGap, kMargin, textW, contentH);
  label->copy_label(message.c_str());
  label->labelfont(font_);
  label->labelsize(fontSize_);
  label->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  int buttonTop = height - 12 - kButtonH;
  auto* ok = new DefaultButton(width - kMargin - 2 * buttonW - 10, buttonTop, buttonW, kButtonH);
  auto* cancel = new Fl_Button(width - kMargin - buttonW, buttonTop, buttonW, kButtonH);
  ok->copy_label(LabelText(okText).c_str());
  cancel->copy_label(LabelText(cancelText).c_str());
  for (Fl_Button* button : {static_cast<Fl_Button*>(ok), cancel}) {
    button->labelfont(font_);
    button->labelsize(fontSize_);
  }
  ok->callback([](Fl_Widget* w, void*) { static_cast<BoxWindow*>(w->window())->Close(Answer::kOk); });
  cancel->callback([](Fl_Widget* w, void*) { static_cast<BoxWindow*>(w->window())->Close(Answer::kCancel); });
  box.callback([](Fl_Widget* w, void*) { static_cast<BoxWindow*>(w)->Close(Answer::kCancel); });
  box.cancel = cancel;
  box.end();
  box.set_modal();
  if (window_->shown()) {
    box.position(window_->x() + (window_->w() - width) / 2, window_->y() + (window_->h() - height) / 2);
  } else {
    box.position((Fl::w() - width) / 2, (Fl::h() - height) / 2);
  }

  // The box runs its own loop. Our timers go on ticking meanwhile, as they
  // do under a system message box; other events wait until it is closed.
  ++boxesOpen_;
  box.show();
  ok->take_focus();
  while (box.shown() && !box.answered) {
    Fl::wait(0.01);
    DeliverQueuedTimers();
  }
  --boxesOpen_;
  box.hide();
  Fl::flush();
  return box.answered ? box.answer : Answer::kCancel;
}

void FltkWindow::OpenHelpTopic(const std::string& chmPath, const std::string& topic) {
  if (!help_) help_ = std::make_unique<HelpViewer>(window_.get());
  help_->Show(chmPath, topic);
}

// Every event FLTK handles passes here first. Key presses for one of our
// windows go into its queue (see TakeKey); everything else takes FLTK's
// usual way.
int DispatchHook(int event, Fl_Window* window) {
  for (FltkWindow* owner : LiveWindows()) {
    if (!owner->Owns(window)) continue;
    if (event == FL_KEYBOARD && owner->TakeKey()) return 1;
    int handled = Fl::handle_(event, window);
    owner->NoteFocus();
    return handled;
  }
  return Fl::handle_(event, window);
}

}  // namespace
}  // namespace ui::fltk

namespace ui {

std::unique_ptr<WindowSystem> CreateDesktopWindow(WindowTemplate which) {
  if (!fltk::EnsureToolkit()) return nullptr;
  return std::make_unique<fltk::FltkWindow>(which);
}

}  // namespace ui
