// Help topics of the main application's compiled help file ("help.chm"),
// shown as HTML in a help window of our own. The topic is read with
// ui::ReadHelpTopic (ui/help_text.h), which the terminal front end shares.
//
// A topic is an object of the file such as "/htm/chap00-2.htm". Links
// between topics stay inside the help window; web and mail links go to the
// desktop's handler; images are left out.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class Fl_Window;

namespace ui::fltk {

// Where a link of a help page leads.
struct HelpLink {
  enum class Kind { kNone, kTopic, kWeb };
  Kind kind = Kind::kNone;
  std::string target;  // the topic's object path, or the web or mail address
};

// The link `href` of the page `currentTopic` ("/htm/chap00-2.htm"):
// relative paths are resolved against the page's folder ("..", "." and "\"
// included, never above the top), "ms-its:...::/x.htm" names a topic of the
// help file, http, https, ftp and mailto addresses are web links; anything
// else (in-page anchors, other schemes) leads nowhere.
HelpLink ResolveHelpLink(std::string_view currentTopic, std::string_view href);

// The page made ready for the viewer: UTF-8 (a page that is not valid UTF-8
// is read as Windows-1252), character entities in the text as UTF-8 (the
// named ones of HTML 4's Latin-1 set and the typographic ones, numeric ones
// with 128 to 159 read as Windows-1252; &lt; &gt; &amp; &quot; stay for the
// viewer), images removed, and the target of every link that leaves the
// page replaced by its index in `links`.
std::string PrepareHelpPage(std::string_view html, std::string_view topic, std::vector<HelpLink>& links);

// The help window. It opens on the first topic shown, over `owner` when
// that is shown (transient for it), and is reused for the next; closing it
// only hides it. A Back button (Alt+Left, Backspace) returns to the topics
// shown before.
class HelpViewer {
 public:
  explicit HelpViewer(Fl_Window* owner = nullptr);
  ~HelpViewer();
  HelpViewer(const HelpViewer&) = delete;
  HelpViewer& operator=(const HelpViewer&) = delete;

  // Shows `topic` of `chmPath`; false, with nothing shown or changed, when
  // the topic cannot be read.
  bool Show(const std::string& chmPath, std::string_view topic);
  // Whether there is a topic to go back to, and going back to it.
  bool CanGoBack() const;
  void GoBack();
  void Hide();
  bool IsShown() const;
  // The window's title: the page's <title>, or "Help".
  std::string Title() const;
  // The topic on show, as its object path.
  std::string CurrentTopic() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ui::fltk
