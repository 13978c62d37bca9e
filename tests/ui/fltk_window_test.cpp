// The desktop front end. The text helpers, the help page preparation and
// the icon are tested directly; the windows themselves run on an X server
// of their own (Xvfb, started by this program) and are driven from outside
// with xdotool, as a user would: clicks, keys, the close box. Without Xvfb
// or xdotool those tests are skipped.
#include "ui/fltk/fltk_window.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "resources/window_icon.h"
#include "resources/window_templates.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/x_close_request.h"
#include "tests/support/x_server.h"
#include "ui/fltk/help_viewer.h"
#include "ui/front_end.h"

// Xlib last: its macros (None, Bool, Status) would clash with the rest.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

using ui::Key;
using ui::fltk::HelpLink;
using ui::fltk::LinkIndexOfTarget;
using ui::fltk::MessageAreaHtml;

// ---------------------------------------------------------------------------
// Links in the message area.

TEST(MessageLinksTest, HtmlEscapesTextKeepsLinesAndNumbersTheLinks) {
  std::vector<std::string> links;
  std::string html = MessageAreaHtml("1. a<b> & \"c\"\n\n  two  blanks http://x.example/?a=1&b=2 end", links);
  EXPECT_EQ(html,
            "<html><body>1. a&lt;b&gt; &amp; &quot;c&quot;<br>\n&nbsp;<br>\n&nbsp;&nbsp;two &nbsp;blanks "
            "<a href=\"0\">http://<wbr>x.example/?<wbr>a=1&amp;<wbr>b=2</a> end</body></html>");
  EXPECT_EQ(links, std::vector<std::string>{"http://x.example/?a=1&b=2"});
}

TEST(MessageLinksTest, LongAddressesStayWholeInTheTable) {
  std::string longAddress = "http://www.tolvaro.example/download/" + std::string(220, 'a') + "#fragment";
  std::vector<std::string> links;
  std::string html = MessageAreaHtml("first www.one.example\r\nthen " + longAddress + "\n", links);
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0], "www.one.example");
  EXPECT_EQ(links[1], longAddress);
  // Shown in pieces that the view can break between lines.
  std::string shown = html.substr(html.find("<a href=\"1\">"));
  shown = shown.substr(0, shown.find("</a>"));
  EXPECT_EQ(shown.substr(0, 49), "<a href=\"1\">http://<wbr>www.tolvaro.example/<wbr>");
  std::string pieces;
  std::size_t longest = 0;
  for (std::size_t at = 12; at < shown.size();) {
    std::size_t next = shown.find("<wbr>", at);
    std::string piece = shown.substr(at, next == std::string::npos ? std::string::npos : next - at);
    longest = std::max(longest, piece.size());
    pieces += piece;
    at = next == std::string::npos ? shown.size() : next + 5;
  }
  EXPECT_EQ(pieces, longAddress);
  EXPECT_LE(longest, 24u);
  EXPECT_EQ(html.find("\r"), std::string::npos);
}

TEST(MessageLinksTest, LinkIndexFromTheViewsTarget) {
  EXPECT_EQ(LinkIndexOfTarget("0"), 0u);
  EXPECT_EQ(LinkIndexOfTarget("file:/home/user/build/12"), 12u);
  EXPECT_EQ(LinkIndexOfTarget("file:/tmp/7#frag"), 7u);
  EXPECT_EQ(LinkIndexOfTarget("file:3"), 3u);
  EXPECT_FALSE(LinkIndexOfTarget(""));
  EXPECT_FALSE(LinkIndexOfTarget("file:/tmp/"));
  EXPECT_FALSE(LinkIndexOfTarget("file:/tmp/x1"));
  EXPECT_FALSE(LinkIndexOfTarget("http://a.example/"));
  EXPECT_FALSE(LinkIndexOfTarget("1234567890"));
}

TEST(MessageLinksTest, LabelsDoubleTheSymbolSign) {
  EXPECT_EQ(ui::fltk::LabelText("mail@host @@ x"), "mail@@host @@@@ x");
  EXPECT_EQ(ui::fltk::LabelText("plain"), "plain");
}

// ---------------------------------------------------------------------------
// Help pages.

TEST(HelpPageTest, ResolvesLinksAgainstThePage) {
  using Kind = HelpLink::Kind;
  auto resolve = [](std::string_view href) { return ui::fltk::ResolveHelpLink("/htm/chap00-2.htm", href); };
  EXPECT_EQ(resolve("chap01.htm").target, "/htm/chap01.htm");
  EXPECT_EQ(resolve("chap01.htm").kind, Kind::kTopic);
  EXPECT_EQ(resolve("../img/../htm/./x.htm#part").target, "/htm/x.htm");
  EXPECT_EQ(resolve("..\\..\\..\\top.htm").target, "/top.htm");
  EXPECT_EQ(resolve("/abs/page.htm?q=1").target, "/abs/page.htm");
  EXPECT_EQ(resolve("my%20page.htm").target, "/htm/my page.htm");
  EXPECT_EQ(resolve("ms-its:help.chm::/htm/y.htm#a").target, "/htm/y.htm");
  EXPECT_EQ(resolve("ms-its:help.chm::/htm/y.htm").kind, Kind::kTopic);
  HelpLink web = resolve(" https://www.tolvaro.example/?a=1&amp;b=2 ");
  EXPECT_EQ(web.kind, Kind::kWeb);
  EXPECT_EQ(web.target, "https://www.tolvaro.example/?a=1&b=2");
  EXPECT_EQ(resolve("mailto:help@tolvaro.example").kind, Kind::kWeb);
  EXPECT_EQ(resolve("#anchor").kind, Kind::kNone);
  EXPECT_EQ(resolve("javascript:alert(1)").kind, Kind::kNone);
  EXPECT_EQ(resolve("file:///etc/passwd").kind, Kind::kNone);
  EXPECT_EQ(resolve("").kind, Kind::kNone);
}

TEST(HelpPageTest, PreparesThePageForTheViewer) {
  std::vector<HelpLink> links;
  std::string page = ui::fltk::PrepareHelpPage(
      "<html><head><title>T</title><style>p { color: red }</style></head><body>"
      "<img src=\"logo.gif\"><p>Go <A class=x HREF='next.htm'>on</A>, <a href=\"#top\">up</a>, "
      "<a href=http://w.example/>web</a><!-- <a href=\"c.htm\"> --></p>"
      "<script type=\"text/javascript\">document.write('<a href=\"s.htm\">')</script></body></html>",
      "/htm/a.htm", links);
  EXPECT_EQ(page,
            "<html><head><title>T</title></head><body><p>Go <A class=x HREF='0'>on</A>, <a href=\"#top\">up</a>, "
            "<a href=1>web</a><!-- <a href=\"c.htm\"> --></p></body></html>");
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0].target, "/htm/next.htm");
  EXPECT_EQ(links[1].kind, HelpLink::Kind::kWeb);
  EXPECT_EQ(links[1].target, "http://w.example/");
}

TEST(HelpPageTest, DecodesCharacterEntitiesInTheText) {
  const std::pair<std::string, std::string> kPages[] = {
      {"a&mdash;b&ndash;c&hellip;", "a\xE2\x80\x94" "b\xE2\x80\x93" "c\xE2\x80\xA6"},
      {"&lsquo;x&rsquo; &ldquo;y&rdquo; &bull;", "\xE2\x80\x98x\xE2\x80\x99 \xE2\x80\x9Cy\xE2\x80\x9D \xE2\x80\xA2"},
      {"&trade;&euro;&copy;&reg;&nbsp;", "\xE2\x84\xA2\xE2\x82\xAC\xC2\xA9\xC2\xAE\xC2\xA0"},
      {"&Auml;&szlig;&yuml;&eacute;&iexcl;", "\xC3\x84\xC3\x9F\xC3\xBF\xC3\xA9\xC2\xA1"},
      {"&#233;&#x2014;&#X41;&#150;", "\xC3\xA9\xE2\x80\x94" "A\xE2\x80\x93"},
      // Markup stays for the viewer; what is no entity stays as it is.
      {"&lt;b&gt; &amp; &quot; &#60;", "&lt;b&gt; &amp; &quot; &#60;"},
      {"&bogus; & x &mdash &#xZZ; &MDASH;", "&bogus; & x &mdash &#xZZ; &MDASH;"},
      {"<title>Caf&eacute;</title><a title=\"&mdash;\" href=\"x.htm?a=1&amp;b=2\">&mdash;</a>",
       "<title>Caf\xC3\xA9</title><a title=\"&mdash;\" href=\"0\">\xE2\x80\x94</a>"},
  };
  std::vector<HelpLink> links;
  for (const auto& [html, prepared] : kPages) EXPECT_EQ(ui::fltk::PrepareHelpPage(html, "/a.htm", links), prepared);
}

TEST(HelpPageTest, ReadsWindows1252PagesAsSuch) {
  std::vector<HelpLink> links;
  EXPECT_EQ(ui::fltk::PrepareHelpPage("caf\xE9 \x93quoted\x94 \x80", "/a.htm", links),
            "caf\xC3\xA9 \xE2\x80\x9Cquoted\xE2\x80\x9D \xE2\x82\xAC");
  EXPECT_EQ(ui::fltk::PrepareHelpPage("caf\xC3\xA9", "/a.htm", links), "caf\xC3\xA9");
}

// ---------------------------------------------------------------------------
// The window icon.

TEST(WindowIconTest, ATileWithAWhiteArrowOnTransparentCorners) {
  for (int size : {16, 32, 48}) {
    auto rgba = resources::WindowIconRgba(size);
    ASSERT_EQ(rgba.size(), static_cast<std::size_t>(size * size * 4));
    auto pixel = [&](int x, int y) { return &rgba[(static_cast<std::size_t>(y) * size + x) * 4]; };
    EXPECT_EQ(pixel(0, 0)[3], 0) << size;
    EXPECT_EQ(pixel(size - 1, size - 1)[3], 0) << size;
    // The arrow's shaft in the middle of the upper half is white.
    const std::uint8_t* shaft = pixel(size / 2, size * 3 / 10);
    EXPECT_EQ(shaft[3], 255);
    EXPECT_GT(shaft[0], 240);
    EXPECT_GT(shaft[2], 240);
    // Beside it the tile is an opaque blue.
    const std::uint8_t* tile = pixel(size / 6, size / 2);
    EXPECT_EQ(tile[3], 255);
    EXPECT_GT(tile[2], tile[0] + 80);
  }
  EXPECT_TRUE(resources::WindowIconRgba(4).empty());
  EXPECT_TRUE(resources::WindowIconRgba(1000).empty());
}

// resources/window_icon.ico is what make_window_icon writes, and ImageMagick
// reads its 256-pixel PNG image back as the drawing.
TEST(WindowIconTest, TheIconFileHoldsTheDrawing) {
  const std::string path = std::string(HARBINOR_SOURCE_DIR) + "/resources/window_icon.ico";
  std::vector<std::uint8_t> file = resources::WindowIconFile(), rgba = resources::WindowIconRgba(256);
  EXPECT_TRUE(testsupport::ReadFile(path) == std::string(file.begin(), file.end())) << "renew it with make_window_icon";
  testsupport::ProcessOptions convert;
  convert.arguments = {path + "[3]", "-depth", "8", "rgba:-"};
  EXPECT_TRUE(testsupport::RunProcess(testsupport::FindProgram("convert"), convert).output ==
              std::string(rgba.begin(), rgba.end()));
}

using testsupport::FindProgram;
using testsupport::Shot;
using testsupport::XServer;
using testsupport::Xdo;

// One server for the whole program, started before the first test.
const auto* const kXServer = ::testing::AddGlobalTestEnvironment(XServer::instance = new XServer);

using testsupport::SendCloseRequest;

// A property of 32-bit items of a window (of the root window for "").
std::vector<long> Property(const std::string& windowId, const char* name, Atom type = XA_CARDINAL) {
  std::vector<long> values;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return values;
  Atom actual;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  Window window = windowId.empty() ? DefaultRootWindow(display) : std::stoul(windowId);
  if (XGetWindowProperty(display, window, XInternAtom(display, name, 0), 0, 1 << 20, 0, type, &actual, &format,
                         &count, &after, &data) == Success &&
      data && format == 32)
    values.assign(reinterpret_cast<const long*>(data), reinterpret_cast<const long*>(data) + count);
  if (data) XFree(data);
  XCloseDisplay(display);
  return values;
}

// The sizes of the images in the window's _NET_WM_ICON property.
std::vector<std::pair<long, long>> IconSizes(const std::string& windowId) {
  std::vector<std::pair<long, long>> sizes;
  std::vector<long> values = Property(windowId, "_NET_WM_ICON");
  for (std::size_t i = 0; i + 2 <= values.size(); i += 2 + static_cast<std::size_t>(values[i] * values[i + 1]))
    sizes.emplace_back(values[i], values[i + 1]);
  return sizes;
}

// The screen's pixels in a rectangle of the root window, as RGB.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
  bool Dark(int x, int y) const {
    const std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
    return p[0] * 3 + p[1] * 6 + p[2] < 90 * 10;
  }
};

struct Box {
  int left = 0, top = 0, width = 0, height = 0;
};

// Where a window is on the screen: its client area, or with `frame` the
// window manager's frame around it (the child of the root window that
// holds it).
Box ScreenBox(const std::string& windowId, bool frame = false) {
  Display* display = XOpenDisplay(nullptr);
  Box box;
  if (!display) return box;
  Window window = std::stoul(windowId), root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  while (frame && XQueryTree(display, window, &root, &parent, &children, &count)) {
    if (children) XFree(children);
    if (parent == root) break;
    window = parent;
  }
  XWindowAttributes attributes{};
  XGetWindowAttributes(display, window, &attributes);
  Window child;
  XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &box.left, &box.top, &child);
  int border = frame ? attributes.border_width : 0;
  box = {box.left - border, box.top - border, attributes.width + 2 * border, attributes.height + 2 * border};
  XCloseDisplay(display);
  return box;
}

Image Grab(const Box& box) {
  Image image{box.width, box.height, {}};
  Display* display = XOpenDisplay(nullptr);
  XImage* x = display ? XGetImage(display, DefaultRootWindow(display), box.left, box.top, unsigned(box.width),
                                  unsigned(box.height), AllPlanes, ZPixmap)
                      : nullptr;
  for (int y = 0; x && y < box.height; ++y) {
    for (int k = 0; k < box.width; ++k) {
      unsigned long pixel = XGetPixel(x, k, y);
      image.rgb.insert(image.rgb.end(), {std::uint8_t(pixel >> 16), std::uint8_t(pixel >> 8), std::uint8_t(pixel)});
    }
  }
  if (x) XDestroyImage(x);
  if (display) XCloseDisplay(display);
  return image;
}

// Saves the image as build/<folder>/screenshots/<name>.ppm and checks that
// it shows something (not one colour).
void SaveScreenshot(const Image& image, const std::string& name) {
  bool varied = false;
  for (std::size_t i = 3; i < image.rgb.size() && !varied; ++i) varied = image.rgb[i] != image.rgb[i % 3];
  EXPECT_TRUE(varied) << name << " is blank";
  auto folder = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "screenshots";
  std::filesystem::create_directories(folder);
  std::string path = folder / (name + ".ppm");
  testsupport::WriteFile(path, "P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n" +
                                   std::string(image.rgb.begin(), image.rgb.end()));
  std::cout << "[ screenshot ] " << path << "\n";
}

// The first and last column of `r` (in the image) with text in it: dark
// pixels, 4 pixels away from its edges (a button's frame and focus box).
std::pair<int, int> TextColumns(const Image& image, const ui::Rect& r, int inset = 4) {
  int first = -1, last = -1;
  for (int x = r.left + inset; x < r.left + r.width - inset; ++x) {
    for (int y = r.top + inset; y < r.top + r.height - inset; ++y) {
      if (image.Dark(x, y)) {
        if (first < 0) first = x;
        last = x;
        break;
      }
    }
  }
  return {first, last};
}

// A window manager on the test's X server, for as long as it lives.
class WindowManager {
 public:
  WindowManager() {
    std::string openbox = FindProgram("openbox");
    std::vector<char*> argv = {openbox.data(), const_cast<char*>("--sm-disable"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (openbox.empty() || posix_spawn(&pid_, openbox.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    // Ready once it has set the work area, at the end of its start.
    running_ = pid_ > 0 && testsupport::WaitFor([] { return !Property("", "_NET_WORKAREA").empty(); }, 10000);
  }
  ~WindowManager() {
    if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
  }
  bool running() const { return running_; }

 private:
  pid_t pid_ = -1;
  bool running_ = false;
};

// ---------------------------------------------------------------------------
// Driving a window.

struct Recorder : ui::WindowEvents {
  std::vector<std::string> events;
  std::map<int, int> ticks;
  std::function<void(int)> onTimer;
  void OnCommand(int id) override { events.push_back("command " + std::to_string(id)); }
  void OnTimer(int id) override {
    ++ticks[id];
    if (onTimer) onTimer(id);
  }
  void OnHelpRequest() override { events.push_back("help"); }
  void OnLinkClicked(std::string_view link) override { events.push_back("link " + std::string(link)); }
};

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : " | ") + item;
  return out;
}

// Pumps like the window logic does until `done` holds or time runs out.
bool PumpUntil(ui::WindowSystem& window, const std::function<bool()>& done, int timeoutMs,
               const ui::WindowSystem::KeyFilter* filter = nullptr) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    while (window.DispatchOne(filter)) {
    }
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    window.WaitForEvents(10);
  }
}

void PumpFor(ui::WindowSystem& window, int ms, const ui::WindowSystem::KeyFilter* filter = nullptr) {
  PumpUntil(window, [] { return false; }, ms, filter);
}

constexpr int kWait = 5000;

class FltkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XServer::instance->problem().empty()) GTEST_SKIP() << XServer::instance->problem();
  }

  // The update window laid out as the window logic does it: 500 by 310,
  // Arial 12, buttons measured from the right.
  std::unique_ptr<ui::WindowSystem> UpdateWindow(const std::string& title,
                                                 std::vector<std::string> labels = {"Help", "Download", "Close"}) {
    auto window = ui::CreateDesktopWindow(ui::WindowTemplate::kUpdateWindow);
    if (!window) return nullptr;
    window->SetEventSink(&recorder_);
    window->SetTitle(title);
    window->SetText(ui::kHelpButton, labels[0]);
    window->SetText(ui::kMainButton, labels[1]);
    window->SetText(ui::kCloseButton, labels[2]);
    window->SetFont("Arial", 12);
    window->ResizeWindow({500, 310});
    ui::Rect headline = window->Placement(ui::kHeadline);
    window->Move(ui::kHeadline, {30, 25, headline.width, headline.height});
    ui::Size client = window->ClientSize();
    int w = client.width, h = client.height;
    window->Move(ui::kMessageArea, {30, 50, w - 60, 120});
    window->Move(ui::kStatusLine, {30, 185, w - 60, 18});
    window->Move(ui::kSizeDisplay, {w - 180, 185, 150, 18});
    window->Move(ui::kProgressBar, {30, 205, w - 60, 18});
    int right = w - 30;
    for (int id : {ui::kCloseButton, ui::kMainButton, ui::kHelpButton}) {
      int width = std::max(window->MeasureText(id).width + 10, 95);
      window->Move(id, {right - width, h - 42, width, 26});
      right -= width + 30;
    }
    window->Enable(ui::kMainButton, true);
    return window;
  }

  // Shows the window and finds its X window.
  std::string ShowAndFind(ui::WindowSystem& window, const std::string& title) {
    window.ShowWindow();
    PumpFor(window, 100);
    auto found = Xdo({"search", "--sync", "--name", "^" + title + "$"});
    std::string id = found.output.substr(0, found.output.find('\n'));
    EXPECT_FALSE(id.empty()) << found.output;
    return id;
  }

  void Click(ui::WindowSystem& window, const std::string& id, int x, int y, int button = 1) {
    auto result = Xdo({"mousemove", "--window", id, std::to_string(x), std::to_string(y), "click",
                       std::to_string(button)});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    PumpFor(window, 50);
  }

  void ClickControl(ui::WindowSystem& window, const std::string& id, int control) {
    ui::Rect r = window.Placement(control);
    Click(window, id, r.left + r.width / 2, r.top + r.height / 2);
  }

  void Keys(const std::string& id, const std::vector<std::string>& keys) {
    auto focus = Xdo({"windowfocus", "--sync", id});
    EXPECT_EQ(focus.exitCode, 0) << focus.output;
    std::vector<std::string> arguments = {"key"};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    auto result = Xdo(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.output;
  }

  bool WaitForEvents(ui::WindowSystem& window, std::size_t count) {
    return PumpUntil(window, [&] { return recorder_.events.size() >= count; }, kWait);
  }

  Recorder recorder_;
};

TEST_F(FltkWindowTest, BothWindowsAreBuiltFromTheirTemplates) {
  for (auto which : {ui::WindowTemplate::kUpdateWindow, ui::WindowTemplate::kInstallWindow}) {
    const resources::WindowTemplate& t = which == ui::WindowTemplate::kUpdateWindow
                                             ? resources::UpdateWindowTemplate()
                                             : resources::InstallWindowTemplate();
    SCOPED_TRACE(t.title);
    auto window = ui::CreateDesktopWindow(which);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->Title(), t.title);
    ui::Size client = window->ClientSize();
    EXPECT_EQ(std::pair(client.width, client.height),
              std::pair(resources::DialogUnitsToPixelsX(t.width), resources::DialogUnitsToPixelsY(t.height)));
    std::vector<int> stops;
    for (const resources::ControlTemplate& c : t.controls) {
      resources::PixelRect r = resources::ToPixels(c.rect);
      ui::Rect p = window->Placement(c.id);
      EXPECT_EQ(std::vector<int>({p.left, p.top, p.width, p.height}),
                std::vector<int>({r.left, r.top, r.width, r.height}))
          << c.name;
      EXPECT_EQ(window->IsEnabled(c.id), c.enabled) << c.name;
      EXPECT_EQ(window->IsShown(c.id), c.visible) << c.name;
      if (c.tabStop) stops.push_back(c.id);
    }
    // With every stop usable, Tab goes round them in the template's order.
    for (int id : stops) window->Enable(id, true);
    std::vector<int> visited;
    if (!stops.empty()) window->Focus(stops.back());
    for (std::size_t k = 0; k < stops.size(); ++k) {
      window->MoveFocus(true);
      visited.push_back(window->FocusedControl());
    }
    EXPECT_EQ(visited, stops);
  }
}

// Under a window manager the logic's 500 by 310 is the window's outer size,
// frame included; the client area is what is left inside, and the buttons,
// placed from it, end 16 pixels above its bottom on the screen.
TEST_F(FltkWindowTest, UnderAWindowManagerTheOuterSizeIncludesTheFrame) {
  WindowManager manager;
  if (!manager.running()) GTEST_SKIP() << "openbox is the window manager of this test";
  auto window = UpdateWindow("Harbinor framed");
  ASSERT_NE(window, nullptr);
  // The frame is usually known before the window is shown; a window
  // manager that is slow to answer (a busy machine) has it corrected once
  // the window is up. Either way the user sees the same window.
  std::string id = ShowAndFind(*window, "Harbinor framed");
  PumpFor(*window, 300);
  Box outer = ScreenBox(id, true), client = ScreenBox(id);
  EXPECT_EQ(std::pair(outer.width, outer.height), std::pair(500, 310));
  EXPECT_LT(client.height, 300) << "no title bar";
  ui::Size size = window->ClientSize();
  EXPECT_EQ(std::pair(size.width, size.height), std::pair(client.width, client.height));
  for (int button : {ui::kMainButton, ui::kCloseButton, ui::kHelpButton}) {
    ui::Rect r = window->Placement(button);
    EXPECT_EQ(client.height - (r.top + r.height), 16) << button;
  }
  SaveScreenshot(Grab(outer), "update_window_default_size");
}

// German labels: every button's label is drawn whole and centred, in the
// font it was measured in, and the status line of a download still fits
// beside the sizes.
TEST_F(FltkWindowTest, GermanLabelsAreDrawnWholeAndCentred) {
  const std::vector<std::string> kLabels[] = {{"Hilfe", "Herunterladen", "Schliessen"},
                                              {"Hilfe", "Abbrechen", "Schliessen"},
                                              {"Hilfe", "Wiederholen", "Abbrechen"}};
  for (const auto& labels : kLabels) {
    SCOPED_TRACE(labels[1]);
    auto window = UpdateWindow("Harbinor " + labels[1], labels);
    ASSERT_NE(window, nullptr);
    window->SetText(ui::kHeadline, "Neue Aktualisierungen: 3 Dateien, 41.25 Mb.");
    window->SetText(ui::kStatusLine, "Geschwindigkeit: 812.4 Kb/s    Verbleibend: 00:01:16");
    window->SetText(ui::kSizeDisplay, "10.31 Mb / 41.25 Mb");
    window->Show(ui::kSizeDisplay, true);
    ui::Rect status = window->Placement(ui::kStatusLine);
    status.width -= 150;  // as during a download, beside the sizes
    window->Move(ui::kStatusLine, status);
    window->Focus(ui::kMessageArea);
    std::string id = ShowAndFind(*window, "Harbinor " + labels[1]);
    PumpFor(*window, 300);
    Image image = Grab(ScreenBox(id));
    for (int button : {ui::kHelpButton, ui::kMainButton, ui::kCloseButton}) {
      ui::Rect r = window->Placement(button);
      auto [first, last] = TextColumns(image, r);
      int measured = window->MeasureText(button).width;
      EXPECT_NEAR(last - first + 1, measured, 2) << window->Text(button);
      EXPECT_NEAR(first + last + 1, 2 * r.left + r.width, 3) << window->Text(button) << " is off-centre";
    }
    auto [first, last] = TextColumns(image, status, 0);
    int measured = window->MeasureText(ui::kStatusLine).width;
    EXPECT_LE(measured, status.width);
    EXPECT_NEAR(last - first + 1, measured, 2);
    if (labels[1] == "Abbrechen") SaveScreenshot(image, "update_window_german");
  }
}

TEST_F(FltkWindowTest, TextsPlacementsFontAndProgress) {
  auto window = UpdateWindow("Harbinor texts");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->ClientSize().width, 500);
  EXPECT_EQ(window->ClientSize().height, 310);
  window->SetText(ui::kHeadline, "Mail to a@b: 100% done");
  EXPECT_EQ(window->Text(ui::kHeadline), "Mail to a@b: 100% done");
  window->Move(ui::kStatusLine, {30, 185, 290, 18});
  ui::Rect status = window->Placement(ui::kStatusLine);
  EXPECT_EQ(status.left, 30);
  EXPECT_EQ(status.top, 185);
  EXPECT_EQ(status.width, 290);
  EXPECT_EQ(status.height, 18);

  // Text is measured in the window's font.
  window->SetText(ui::kMainButton, "Download");
  ui::Size small = window->MeasureText(ui::kMainButton);
  EXPECT_GT(small.width, 30);
  EXPECT_LT(small.width, 95);
  EXPECT_GE(small.height, 12);
  window->SetText(ui::kMainButton, "Download everything now");
  EXPECT_GT(window->MeasureText(ui::kMainButton).width, small.width * 2);
  window->SetText(ui::kMainButton, "Download");
  window->SetFont("Arial", 24);
  ui::Size big = window->MeasureText(ui::kMainButton);
  EXPECT_GT(big.width, small.width * 3 / 2);
  EXPECT_GT(big.height, small.height);
  EXPECT_EQ(window->MeasureText(4711).width, 0);

  // The bar's position stays inside its range.
  window->SetProgressRange(200);
  window->SetProgress(150);
  EXPECT_EQ(window->Progress(), 150);
  window->SetProgress(201);
  EXPECT_EQ(window->Progress(), 200);
  window->SetProgress(-3);
  EXPECT_EQ(window->Progress(), 0);
  window->SetProgress(120);
  window->SetProgressRange(100);
  EXPECT_EQ(window->Progress(), 100);
  window->SetProgressRange(2000000000);
  window->SetProgress(1999999999);
  EXPECT_EQ(window->Progress(), 1999999999);

  window->Show(ui::kSizeDisplay, true);
  EXPECT_TRUE(window->IsShown(ui::kSizeDisplay));
  window->Show(ui::kSizeDisplay, false);
  EXPECT_FALSE(window->IsShown(ui::kSizeDisplay));
  window->Enable(ui::kHelpButton, false);
  EXPECT_FALSE(window->IsEnabled(ui::kHelpButton));
  window->SetTitle("25% - Update Tolvaro DVD");
  EXPECT_EQ(window->Title(), "25% - Update Tolvaro DVD");
}

TEST_F(FltkWindowTest, ScreenshotOfTheUpdateWindow) {
  if (FindProgram("import").empty()) GTEST_SKIP() << "imagemagick's import takes the screenshots";
  auto window = UpdateWindow("Update Tolvaro DVD");
  ASSERT_NE(window, nullptr);
  window->SetText(ui::kHeadline, "New updates are available: 3 files, 41.25 Mb.");
  window->SetText(ui::kMessageArea,
                  "Tolvaro DVD 5.2 brings faster menus and a new disc layout.\n\n"
                  "1. Menu templates load twice as fast.\n"
                  "2. New help pages, see http://www.tolvaro.example/help/\n"
                  "3. Fixes for e-mail@support; write to mailto:support@tolvaro.example\n\n"
                  "More at www.tolvaro.example/news (release notes).");
  window->SetText(ui::kStatusLine, "Speed: 812.4 Kb/s    Remaining: 00:00:38");
  window->Move(ui::kStatusLine, {30, 185, 500 - 210, 18});
  window->SetText(ui::kSizeDisplay, "10.31 Mb / 41.25 Mb");
  window->Show(ui::kSizeDisplay, true);
  window->SetText(ui::kMainButton, "Abort");
  window->SetProgressRange(4325376);
  window->SetProgress(1081344);
  window->SetTitle("25% - Update Tolvaro DVD");
  window->Focus(ui::kMainButton);
  ShowAndFind(*window, "25% - Update Tolvaro DVD");
  PumpFor(*window, 300);
  std::string shot = Shot("fltk_update_window.png");
  ASSERT_FALSE(shot.empty());
  // The window with its texts, links, bar and buttons, not an empty frame.
  EXPECT_GT(testsupport::ColourCount(shot), 8) << shot << " is blank";
  std::cout << "[ screenshot ] " << shot << "\n";
}

// Beyond the keys every front end has: Shift-Tab goes back, and the space
// bar presses the focused button, as on any desktop.
TEST_F(FltkWindowTest, ShiftTabAndTheSpaceBar) {
  auto window = UpdateWindow("Harbinor keys");
  ASSERT_NE(window, nullptr);
  window->Focus(ui::kMainButton);
  std::string id = ShowAndFind(*window, "Harbinor keys");
  Keys(id, {"shift+Tab"});
  ASSERT_TRUE(PumpUntil(*window, [&] { return window->FocusedControl() == ui::kMessageArea; }, kWait));
  window->Focus(ui::kCloseButton);
  Keys(id, {"space"});
  ASSERT_TRUE(WaitForEvents(*window, 1));
  EXPECT_EQ(recorder_.events.back(), "command 2");
}

TEST_F(FltkWindowTest, ALeftClickOnALinkGivesTheWholeAddress) {
  auto window = UpdateWindow("Harbinor links");
  ASSERT_NE(window, nullptr);
  std::string id = ShowAndFind(*window, "Harbinor links");
  ui::Rect area = window->Placement(ui::kMessageArea);
  auto clickFirstLine = [&](int button) { Click(*window, id, area.left + 20, area.top + 10, button); };

  std::string address = "http://www.tolvaro.example/download/?lang=en&os=linux#latest";
  window->SetText(ui::kMessageArea, address + "\nand some more text");
  clickFirstLine(1);
  ASSERT_TRUE(WaitForEvents(*window, 1));
  EXPECT_EQ(recorder_.events[0], "link " + address);
  // The same link again.
  clickFirstLine(1);
  ASSERT_TRUE(WaitForEvents(*window, 2));
  EXPECT_EQ(recorder_.events[1], "link " + address);

  // Longer than a link target of the view can be.
  std::string longAddress = "https://www.tolvaro.example/" + std::string(200, 'x') + "/end.htm";
  ASSERT_GT(longAddress.size(), 191u);
  window->SetText(ui::kMessageArea, longAddress);
  clickFirstLine(1);
  ASSERT_TRUE(WaitForEvents(*window, 3));
  EXPECT_EQ(recorder_.events[2], "link " + longAddress);

  // Other buttons and plain text give nothing.
  clickFirstLine(3);
  clickFirstLine(2);
  window->SetText(ui::kMessageArea, "Plain words first, then www.tolvaro.example");
  clickFirstLine(1);
  PumpFor(*window, 300);
  EXPECT_EQ(recorder_.events.size(), 3u) << Joined(recorder_.events);
}

TEST_F(FltkWindowTest, MessageBoxAnswersAndTimersRunMeanwhile) {
  auto window = UpdateWindow("Harbinor box owner");
  ASSERT_NE(window, nullptr);
  ShowAndFind(*window, "Harbinor box owner");
  window->StartTimer(1500, 50);
  bool boxOpen = false;
  int ticksInBox = 0;
  recorder_.onTimer = [&](int) { ticksInBox += boxOpen ? 1 : 0; };

  auto answerWith = [&](const std::string& caption, std::function<void(const std::string&)> act) {
    return std::async(std::launch::async, [caption, act] {
      auto found = Xdo({"search", "--sync", "--name", "^" + caption + "$"});
      std::string id = found.output.substr(0, found.output.find('\n'));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      act(id);
    });
  };
  auto pressKeys = [](std::vector<std::string> keys) {
    return [keys](const std::string& id) {
      Xdo({"windowfocus", "--sync", id});
      std::vector<std::string> arguments = {"key"};
      arguments.insert(arguments.end(), keys.begin(), keys.end());
      Xdo(arguments);
    };
  };

  auto helper = answerWith("Box answered with Return", pressKeys({"Return"}));
  boxOpen = true;
  ui::Answer answer = window->AskOkCancel("Press OK to cancel the update.\n", "Box answered with Return",
                                          ui::MessageIcon::kQuestion);
  boxOpen = false;
  helper.get();
  EXPECT_EQ(answer, ui::Answer::kOk);
  EXPECT_GE(ticksInBox, 3);

  helper = answerWith("Box answered with Escape", pressKeys({"Escape"}));
  answer = window->AskOkCancel("Press OK to cancel the update.\n", "Box answered with Escape",
                               ui::MessageIcon::kQuestion);
  helper.get();
  EXPECT_EQ(answer, ui::Answer::kCancel);

  // Long labels widen the buttons: the box holds both whole.
  const std::string kLong[] = {"Aktualisierung abbrechen", "Weiter aktualisieren"};
  int labelWidth = 0;
  for (const std::string& label : kLong) {
    window->SetText(ui::kHelpButton, label);
    labelWidth = std::max(labelWidth, window->MeasureText(ui::kHelpButton).width);
  }
  window->SetMessageBoxLabels(kLong[0], kLong[1]);
  int boxWidth = 0;
  helper = answerWith("Box answered with Tab Return", [&](const std::string& id) {
    boxWidth = ScreenBox(id).width;
    pressKeys({"Tab", "Return"})(id);
  });
  answer = window->AskOkCancel("Tab moves to Cancel.", "Box answered with Tab Return", ui::MessageIcon::kQuestion);
  helper.get();
  EXPECT_EQ(answer, ui::Answer::kCancel);
  EXPECT_GE(boxWidth, 2 * (labelWidth + 10) + 32) << labelWidth;
  window->SetMessageBoxLabels("OK", "Cancel");

  helper = answerWith("Box closed", [](const std::string& id) {
    // A close request that comes before the box listens for it (a slow,
    // sanitized build) is lost: it is sent again until the box is gone.
    for (int i = 0; i < 30; ++i) {
      SendCloseRequest(id);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (Xdo({"search", "--name", "^Box closed$"}).output.empty()) break;
    }
  });
  answer = window->AskOkCancel("Closing the box is Cancel.", "Box closed", ui::MessageIcon::kExclamation);
  helper.get();
  EXPECT_EQ(answer, ui::Answer::kCancel);

  std::string shot;
  helper = answerWith("Software Update Failed", [&](const std::string& id) {
    shot = Shot("fltk_message_box.png");
    pressKeys({"Return"})(id);
  });
  answer = window->AskOkCancel(
      "One or more files could not be updated. Please ensure that the application is\nclosed and that you have "
      "the permission to modify files.\n\nPress OK to start the application without update.",
      "Software Update Failed", ui::MessageIcon::kExclamation);
  helper.get();
  EXPECT_EQ(answer, ui::Answer::kOk);
  if (!FindProgram("import").empty()) {
    EXPECT_FALSE(shot.empty());
    std::cout << "[ screenshot ] " << shot << "\n";
  }
  // Nothing else reached the window while the boxes were open.
  EXPECT_TRUE(recorder_.events.empty()) << Joined(recorder_.events);
}

TEST_F(FltkWindowTest, TheWindowHasItsIcon) {
  auto window = UpdateWindow("Harbinor icon");
  ASSERT_NE(window, nullptr);
  std::string id = ShowAndFind(*window, "Harbinor icon");
  auto sizes = IconSizes(id);
  EXPECT_EQ(sizes, (std::vector<std::pair<long, long>>{{16, 16}, {32, 32}, {48, 48}}));
}

TEST_F(FltkWindowTest, TheInstallWindowCannotBeClosed) {
  auto window = ui::CreateDesktopWindow(ui::WindowTemplate::kInstallWindow);
  ASSERT_NE(window, nullptr);
  window->SetEventSink(&recorder_);
  EXPECT_EQ(window->Title(), "Tolvaro copying updated files...");
  ui::Size client = window->ClientSize();
  EXPECT_NEAR(client.width, 406, 10);
  EXPECT_NEAR(client.height, 46, 6);
  ui::Rect bar = window->Placement(ui::kInstallProgress);
  EXPECT_NEAR(bar.left, 11, 2);
  EXPECT_NEAR(bar.width, 386, 4);
  EXPECT_NEAR(bar.height, 23, 2);
  EXPECT_EQ(window->Placement(ui::kMainButton).width, 0);
  window->SetProgressRange(1000);
  window->SetProgress(400);
  EXPECT_EQ(window->Progress(), 400);

  std::string id = ShowAndFind(*window, "Tolvaro copying updated files\\.\\.\\.");
  SaveScreenshot(Grab(ScreenBox(id)), "install_window");
  Keys(id, {"Escape", "Return", "F1", "Tab"});
  SendCloseRequest(id);
  PumpFor(*window, 400);
  EXPECT_TRUE(recorder_.events.empty()) << Joined(recorder_.events);
  EXPECT_TRUE(window->IsVisible());
  window->DestroyWindow();
  EXPECT_FALSE(window->IsVisible());
}

// ---------------------------------------------------------------------------
// Help and links.

class HelpFileTest : public FltkWindowTest {
 protected:
  void SetUp() override {
    FltkWindowTest::SetUp();
    if (IsSkipped()) return;
    std::string chmcmd = FindProgram("chmcmd");
    if (chmcmd.empty()) GTEST_SKIP() << "chmcmd (fp-utils) makes the help file";
    testsupport::WriteFile(folder_ / "help.hhp",
                           "[OPTIONS]\nCompiled file=help.chm\nDefault topic=htm/chap00-2.htm\n"
                           "Title=Tolvaro help\n\n[FILES]\nhtm/chap00-2.htm\nhtm/other.htm\n");
    testsupport::WriteFile(folder_ / "htm/chap00-2.htm",
                           "<html><head><title>Updating Tolvaro DVD</title></head><body>"
                           "<a href=\"other.htm#part\">Next page</a><h1>Updating</h1>"
                           "<p>Harbinor keeps Tolvaro DVD up to date.</p><img src=\"../img/shot.gif\"></body></html>");
    testsupport::WriteFile(folder_ / "htm/other.htm",
                           "<html><head><title>Other help page</title></head><body><p>Second.</p></body></html>");
    testsupport::ProcessOptions options;
    // chmcmd works in the project's folder.
    std::string script = "cd '" + folder_.path() + "' && exec '" + chmcmd + "' help.hhp";
    options.arguments = {"-c", script};
    auto made = testsupport::RunProcess("/bin/sh", options);
    ASSERT_TRUE(testsupport::PathExists(folder_ / "help.chm")) << made.output;
  }

  testsupport::TempFolder folder_;
};

TEST_F(HelpFileTest, TheHelpWindowShowsATopicAndFollowsItsLinks) {
  auto window = UpdateWindow("Harbinor help owner");
  ASSERT_NE(window, nullptr);
  ui::fltk::HelpViewer viewer;
  EXPECT_FALSE(viewer.Show(folder_ / "help.chm", "/htm/missing.htm"));
  EXPECT_FALSE(viewer.Show(folder_ / "missing.chm", "/htm/chap00-2.htm"));
  EXPECT_FALSE(viewer.IsShown());
  ASSERT_TRUE(viewer.Show(folder_ / "help.chm", "HTM/Chap00-2.HTM"));
  EXPECT_EQ(viewer.CurrentTopic(), "/HTM/Chap00-2.HTM");
  EXPECT_TRUE(viewer.IsShown());
  EXPECT_EQ(viewer.Title(), "Updating Tolvaro DVD");
  PumpFor(*window, 100);
  auto found = Xdo({"search", "--sync", "--name", "^Updating Tolvaro DVD$"});
  std::string id = found.output.substr(0, found.output.find('\n'));
  ASSERT_FALSE(id.empty());

  // The link on the first line (below the bar with Back) leads to the other
  // page; Alt+Left, Backspace and the Back button lead back.
  EXPECT_FALSE(viewer.CanGoBack());
  auto follow = [&] {
    Xdo({"mousemove", "--window", id, "30", "46", "click", "1"});
    return PumpUntil(*window, [&] { return viewer.CurrentTopic() == "/HTM/other.htm"; }, kWait);
  };
  ASSERT_TRUE(follow()) << viewer.CurrentTopic();
  EXPECT_EQ(viewer.Title(), "Other help page");
  EXPECT_TRUE(viewer.CanGoBack());
  SaveScreenshot(Grab(ScreenBox(id)), "help_viewer_back");
  const std::function<void()> kBack[] = {[&] { Keys(id, {"alt+Left"}); }, [&] { Keys(id, {"BackSpace"}); },
                                         [&] { Xdo({"mousemove", "--window", id, "40", "16", "click", "1"}); }};
  for (const auto& back : kBack) {
    back();
    EXPECT_TRUE(PumpUntil(*window, [&] { return viewer.CurrentTopic() == "/HTM/Chap00-2.HTM"; }, kWait));
    EXPECT_FALSE(viewer.CanGoBack());
    ASSERT_TRUE(follow());
  }
  viewer.Hide();
  EXPECT_FALSE(viewer.IsShown());
}

TEST_F(HelpFileTest, OpenHelpTopicShowsTheTopicOrNothing) {
  auto window = UpdateWindow("Harbinor help request");
  ASSERT_NE(window, nullptr);
  window->OpenHelpTopic(folder_ / "help.chm", "/htm/nothing-here.htm");
  window->OpenHelpTopic(folder_ / "none.chm", "/htm/chap00-2.htm");
  PumpFor(*window, 200);
  auto none = Xdo({"search", "--name", "^(Help|Updating Tolvaro DVD)$"});
  EXPECT_NE(none.exitCode, 0) << none.output;

  // It opens over the update window, transient for it, with its icon.
  std::string owner = ShowAndFind(*window, "Harbinor help request");
  window->OpenHelpTopic(folder_ / "help.chm", "/htm/chap00-2.htm");
  PumpFor(*window, 100);
  auto found = Xdo({"search", "--sync", "--name", "^Updating Tolvaro DVD$"});
  EXPECT_EQ(found.exitCode, 0);
  std::string help = found.output.substr(0, found.output.find('\n'));
  ASSERT_FALSE(help.empty());
  EXPECT_EQ(Property(help, "WM_TRANSIENT_FOR", XA_WINDOW), std::vector<long>{std::stol(owner)});
  EXPECT_EQ(IconSizes(help).size(), 3u);
  Box a = ScreenBox(owner), b = ScreenBox(help);
  EXPECT_TRUE(a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
              b.top < a.top + a.height)
      << "the help window is away from the update window";
  // Destroying the window takes its help window along.
  window->DestroyWindow();
  PumpFor(*window, 200);
  auto gone = Xdo({"search", "--onlyvisible", "--name", "^Updating Tolvaro DVD$"});
  EXPECT_NE(gone.exitCode, 0) << gone.output;
}

TEST_F(FltkWindowTest, LinksOpenWithTheDesktopsHandler) {
  testsupport::TempFolder bin;
  std::string record = bin / "opened.txt";
  testsupport::WriteFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + record + "'\n");
  chmod((bin / "xdg-open").c_str(), 0755);
  std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (bin.path() + ":" + oldPath).c_str(), 1);
  auto window = UpdateWindow("Harbinor open links");
  ASSERT_NE(window, nullptr);
  window->OpenLink("www.tolvaro.example/download/");
  window->OpenLink("mailto:support@tolvaro.example");
  window->OpenLink("file:///etc/passwd");
  bool done = testsupport::WaitFor(
      [&] { return testsupport::ReadFile(record).find("mailto:") != std::string::npos; }, kWait);
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_TRUE(done);
  PumpFor(*window, 200);
  std::string opened = testsupport::ReadFile(record);
  EXPECT_NE(opened.find("http://www.tolvaro.example/download/\n"), std::string::npos) << opened;
  EXPECT_NE(opened.find("mailto:support@tolvaro.example\n"), std::string::npos) << opened;
  EXPECT_EQ(opened.find("passwd"), std::string::npos) << opened;
}

}  // namespace
