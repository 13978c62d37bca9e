#include "ui/fltk/help_viewer.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Help_View.H>
#include <FL/x.H>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>

#include "platform/shell.h"
#include "platform/text.h"
#include "base/ascii_text.h"
#include "base/utf8.h"
#include "ui/help_text.h"
#include "ui/fltk/fltk_window.h"

namespace ui::fltk {
namespace {

using base::StartsWithIgnoringCase;

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t value;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      value = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// Windows-1252, the usual charset of help pages written on Windows.
std::string Windows1252ToUtf8(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    wide.push_back(u >= 0x80 && u < 0xA0 ? Windows1252Character(u) : static_cast<char16_t>(u));
  }
  return platform::Utf16ToUtf8(wide);
}

// The character of the entity `name` ("mdash", "#8212", "#x2014"), or 0.
// The four that are markup (lt, gt, amp, quot) stay as they are, for the
// viewer to read.
std::uint32_t EntityCharacter(std::string_view name) {
  std::uint32_t value = ReferencedCharacter(name);
  bool markup = value == '<' || value == '>' || value == '&' || value == '"';
  return markup ? 0 : value;
}

// Text between tags with its character entities as UTF-8 characters.
void AppendDecodedText(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) amp = text.size();
    out.append(text.substr(i, amp - i));
    if (amp == text.size()) break;
    std::size_t semicolon = text.find(';', amp);
    std::uint32_t code = semicolon != std::string_view::npos && semicolon - amp <= 10
                             ? EntityCharacter(text.substr(amp + 1, semicolon - amp - 1))
                             : 0;
    if (code) {
      base::AppendUtf8(out, code);
      i = semicolon + 1;
    } else {
      out.push_back('&');
      i = amp + 1;
    }
  }
}

std::string PercentDecoded(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    c = base::AsciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int high = hex(text[i + 1]), low = hex(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// "/a/b/../c/./d" as "/a/c/d"; ".." at the top stays at the top.
std::string NormalizedTopicPath(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string_view TrimmedBlanks(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

std::string DecodedAmpersands(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && StartsWithIgnoringCase(text.substr(i), "&amp;")) {
      out.push_back('&');
      i += 4;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The name of the tag that starts at `html[at]` ('<'), in lower case; empty
// for a closing tag, a comment or a declaration.
std::string TagName(std::string_view html, std::size_t at) {
  std::string name;
  for (std::size_t i = at + 1; i < html.size() && std::isalnum(static_cast<unsigned char>(html[i])); ++i)
    name.push_back(base::AsciiLower(html[i]));
  return name;
}

// Where the value of the attribute `name` starts and ends inside the tag
// `tag` (from "<" to ">"), without its quotes.
struct AttributeValue {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool found = false;
};

AttributeValue FindAttribute(std::string_view tag, std::string_view name) {
  AttributeValue result;
  std::size_t i = 1;
  while (i < tag.size() && std::isalnum(static_cast<unsigned char>(tag[i]))) ++i;  // the tag's name
  while (i < tag.size()) {
    while (i < tag.size() && (std::isspace(static_cast<unsigned char>(tag[i])) || tag[i] == '/')) ++i;
    std::size_t nameStart = i;
    while (i < tag.size() && tag[i] != '=' && tag[i] != '>' && !std::isspace(static_cast<unsigned char>(tag[i]))) ++i;
    std::string_view attribute = tag.substr(nameStart, i - nameStart);
    if (attribute.empty()) return result;
    while (i < tag.size() && std::isspace(static_cast<unsigned char>(tag[i]))) ++i;
    if (i >= tag.size() || tag[i] != '=') continue;  // an attribute without a value
    ++i;
    while (i < tag.size() && std::isspace(static_cast<unsigned char>(tag[i]))) ++i;
    std::size_t begin, end;
    if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
      char quote = tag[i];
      begin = i + 1;
      end = tag.find(quote, begin);
      if (end == std::string_view::npos) end = tag.size() - 1;
      i = end + 1;
    } else {
      begin = i;
      while (i < tag.size() && tag[i] != '>' && !std::isspace(static_cast<unsigned char>(tag[i]))) ++i;
      end = i;
    }
    if (attribute.size() == name.size() && StartsWithIgnoringCase(attribute, name)) {
      result = {begin, end, true};
      return result;
    }
  }
  return result;
}

}  // namespace

HelpLink ResolveHelpLink(std::string_view currentTopic, std::string_view href) {
  std::string link = DecodedAmpersands(TrimmedBlanks(href));
  if (link.empty() || link.front() == '#') return {};
  std::size_t colon = link.find(':');
  std::size_t firstSeparator = link.find_first_of("/\\?#");
  if (colon != std::string::npos && colon < firstSeparator) {
    for (std::string_view scheme : {"http://", "https://", "ftp://", "mailto:"}) {
      if (StartsWithIgnoringCase(link, scheme) && link.size() > scheme.size()) return {HelpLink::Kind::kWeb, link};
    }
    // A topic named through the help file: "ms-its:help.chm::/htm/x.htm".
    std::size_t inner = link.find("::");
    if ((StartsWithIgnoringCase(link, "ms-its:") || StartsWithIgnoringCase(link, "mk:@msitstore:") ||
         StartsWithIgnoringCase(link, "its:")) &&
        inner != std::string::npos) {
      std::string path = link.substr(inner + 2);
      path = path.substr(0, path.find_first_of("#?"));
      for (char& c : path)
        if (c == '\\') c = '/';
      if (path.empty()) return {};
      return {HelpLink::Kind::kTopic, NormalizedTopicPath(PercentDecoded(path))};
    }
    return {};
  }
  std::string path = PercentDecoded(link.substr(0, link.find_first_of("#?")));
  for (char& c : path)
    if (c == '\\') c = '/';
  if (path.empty()) return {};
  if (path.front() != '/') {
    std::size_t slash = currentTopic.rfind('/');
    std::string_view folder = slash == std::string_view::npos ? std::string_view() : currentTopic.substr(0, slash);
    path = std::string(folder) + "/" + path;
  }
  return {HelpLink::Kind::kTopic, NormalizedTopicPath(path)};
}

std::string PrepareHelpPage(std::string_view html, std::string_view topic, std::vector<HelpLink>& links) {
  links.clear();
  std::string text = IsValidUtf8(html) ? std::string(html) : Windows1252ToUtf8(html);
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '<') {
      std::size_t tag = std::min(text.find('<', i), text.size());
      AppendDecodedText(out, std::string_view(text).substr(i, tag - i));
      i = tag;
      continue;
    }
    if (text.compare(i, 4, "<!--") == 0) {
      std::size_t end = text.find("-->", i + 4);
      end = end == std::string::npos ? text.size() : end + 3;
      out.append(text, i, end - i);
      i = end;
      continue;
    }
    std::size_t close = text.find('>', i);
    if (close == std::string::npos) {
      out.append(text, i, std::string::npos);
      break;
    }
    std::string name = TagName(text, i);
    std::string_view tag = std::string_view(text).substr(i, close + 1 - i);
    if (name == "img") {
      i = close + 1;
      continue;
    }
    if (name == "script" || name == "style") {
      std::string closing = "</" + name;
      std::size_t end = i;
      do {
        end = text.find("</", end + 1);
      } while (end != std::string::npos && !StartsWithIgnoringCase(std::string_view(text).substr(end), closing));
      std::size_t endClose = end == std::string::npos ? std::string::npos : text.find('>', end);
      i = endClose == std::string::npos ? text.size() : endClose + 1;
      continue;
    }
    if (name == "a") {
      AttributeValue href = FindAttribute(tag, "href");
      if (href.found) {
        std::string_view value = tag.substr(href.begin, href.end - href.begin);
        if (!TrimmedBlanks(value).empty() && TrimmedBlanks(value).front() != '#') {
          out.append(tag.substr(0, href.begin));
          out += std::to_string(links.size());
          out.append(tag.substr(href.end));
          links.push_back(ResolveHelpLink(topic, value));
          i = close + 1;
          continue;
        }
      }
    }
    out.append(tag);
    i = close + 1;
  }
  return out;
}

namespace {

// The help window: Alt+Left and Backspace go back, as in a browser.
class HelpWindow : public Fl_Double_Window {
 public:
  HelpWindow(int w, int h, std::function<void()> back) : Fl_Double_Window(w, h, "Help"), back_(std::move(back)) {}

  int handle(int event) override {
    if (event == FL_KEYBOARD || event == FL_SHORTCUT) {
      int key = Fl::event_key();
      if (key == FL_BackSpace || (key == FL_Left && Fl::event_alt())) {
        back_();
        return 1;
      }
    }
    return Fl_Double_Window::handle(event);
  }

 private:
  std::function<void()> back_;
};

}  // namespace

struct HelpViewer::Impl {
  ~Impl() {
    Fl::remove_timeout(&Impl::FollowPending, this);
    delete window;
  }

  void Build() {
    constexpr int kW = 680, kH = 520, kBar = 34;
    window = new HelpWindow(kW, kH, [this] { GoBack(); });
    back = new Fl_Button(6, 5, 90, 24, "@<-  Back");
    back->labelsize(13);
    back->tooltip("Alt+Left");
    back->callback([](Fl_Widget*, void* data) { static_cast<Impl*>(data)->GoBack(); }, this);
    back->deactivate();
    view = new Fl_Help_View(0, kBar, kW, kH - kBar);
    view->box(FL_FLAT_BOX);
    view->textfont(FL_HELVETICA);
    view->textsize(14);
    view->user_data(this);
    view->link(&Impl::OnLink);
    window->end();
    window->resizable(view);
    window->xclass("Harbinor");
    SetWindowIcon(*window);
  }

  bool Show(const std::string& path, std::string_view topic, bool remember) {
    auto page = ReadHelpTopic(path, std::string(topic));
    if (!page) return false;
    bool first = !window;
    if (first) Build();
    std::string next = topic.front() == '/' ? std::string(topic) : "/" + std::string(topic);
    if (path != chmPath) history.clear();
    else if (remember && !currentTopic.empty() && next != currentTopic) history.push_back(currentTopic);
    chmPath = path;
    currentTopic = std::move(next);
    view->value(PrepareHelpPage(*page, currentTopic, links).c_str());
    const char* pageTitle = view->title();
    title = pageTitle && pageTitle[0] ? pageTitle : "Help";
    window->copy_label(title.c_str());
    if (history.empty()) back->deactivate();
    else back->activate();
    if (!window->shown()) Open();
    window->show();
    return true;
  }

  // Opens over the window it belongs to (a little down and to the right,
  // inside the screen), transient for it, so that the window manager keeps
  // it above that window and with it.
  void Open() {
    if (!owner || !owner->shown()) return;
    int x = owner->x() + 40, y = owner->y() + 40;
    x = std::clamp(x, Fl::x(), std::max(Fl::x(), Fl::x() + Fl::w() - window->w()));
    y = std::clamp(y, Fl::y(), std::max(Fl::y(), Fl::y() + Fl::h() - window->h()));
    window->position(x, y);
    // FLTK makes a non-modal window transient for its first window when
    // it creates it, before it is mapped; the hint is set again after, for
    // the case that FLTK chose another.
    window->non_modal();
    Fl::first_window(owner);
    window->show();
    XSetTransientForHint(fl_display, fl_xid(window), fl_xid(owner));
  }

  void GoBack() {
    if (history.empty()) return;
    std::string previous = std::move(history.back());
    history.pop_back();
    Show(chmPath, previous, false);
  }

  // Fl_Help_View asks this what to load for a clicked link. The page is
  // never changed from in here (the view is in the middle of handling the
  // click): a left click's link is followed right after.
  static const char* OnLink(Fl_Widget* widget, const char* target) {
    auto* self = static_cast<Impl*>(widget->user_data());
    auto index = LinkIndexOfTarget(target ? target : "");
    if (self && index && *index < self->links.size() && Fl::event() == FL_RELEASE &&
        Fl::event_button() == FL_LEFT_MOUSE) {
      self->pending = self->links[*index];
      Fl::add_timeout(0.0, &Impl::FollowPending, self);
    }
    return nullptr;
  }

  static void FollowPending(void* data) {
    auto* self = static_cast<Impl*>(data);
    HelpLink link = std::move(self->pending);
    self->pending = {};
    if (link.kind == HelpLink::Kind::kTopic) self->Show(self->chmPath, link.target, true);
    else if (link.kind == HelpLink::Kind::kWeb) platform::OpenUrl(link.target);
  }

  Fl_Window* owner = nullptr;
  Fl_Double_Window* window = nullptr;  // owned; the button and the view are its children
  Fl_Button* back = nullptr;
  Fl_Help_View* view = nullptr;
  std::string chmPath;
  std::string currentTopic;
  std::string title;
  // The topics shown before, the last one last.
  std::vector<std::string> history;
  std::vector<HelpLink> links;
  HelpLink pending;
};

HelpViewer::HelpViewer(Fl_Window* owner) : impl_(std::make_unique<Impl>()) { impl_->owner = owner; }
HelpViewer::~HelpViewer() = default;

bool HelpViewer::Show(const std::string& chmPath, std::string_view topic) {
  if (topic.empty()) return false;
  return impl_->Show(chmPath, topic, true);
}

bool HelpViewer::CanGoBack() const { return !impl_->history.empty(); }

void HelpViewer::GoBack() { impl_->GoBack(); }
void HelpViewer::Hide() {
  if (impl_->window) impl_->window->hide();
}

bool HelpViewer::IsShown() const { return impl_->window && impl_->window->shown(); }

std::string HelpViewer::Title() const { return impl_->title; }

std::string HelpViewer::CurrentTopic() const { return impl_->currentTopic; }

}  // namespace ui::fltk
