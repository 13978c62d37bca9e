// The desktop front end: the update window and the install window as FLTK
// windows (ui::CreateDesktopWindow in ui/front_end.h makes them).
//
// The window logic lays everything out in pixels and drives the window
// through WindowSystem; this front end only shows what it is told. Events
// from FLTK (button callbacks, the close box, keys, link clicks, timer
// ticks) never reach the logic from inside FLTK: they wait in a queue of our
// own, and DispatchOne hands them out one at a time. So the logic's own
// pump during a worker run (DispatchOne with a key filter, WaitForEvents
// between) sees exactly what the normal message loop would see, with keys
// going to its filter instead of their usual handling. PostCommand may also
// be called from another thread (a worker announcing its end); it wakes the
// window thread's wait. While a message box is open, its own loop hands
// out the timer ticks (they go on as under a system message box); other
// events wait until it is closed.
//
// The message area shows plain text in an Fl_Help_View. The text is turned
// into HTML here: < > & are escaped, line breaks and runs of blanks are
// kept, and every web or mail address becomes a link. Fl_Help_View cuts link
// targets at 191 characters, does not decode &amp; in them and drops
// "#fragment", so a link's target is only its index in a table of the
// addresses as they appear in the text.
//
// The helpers below are what that needs; they are pure and tested without a
// display.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Fl_Window;

namespace ui::fltk {

// The HTML for the message area: `utf8Text` with its links as anchors whose
// targets are their index in `links` (which receives the addresses).
std::string MessageAreaHtml(std::string_view utf8Text, std::vector<std::string>& links);

// The index of a link in its table from the target that Fl_Help_View hands
// to its link callback (the anchor's target, possibly behind a folder
// prefix such as "file:/current/folder/").
std::optional<std::size_t> LinkIndexOfTarget(std::string_view target);

// `text` as an FLTK label: "@" starts a symbol there, so it is doubled.
std::string LabelText(std::string_view text);

// Appends `text` to `html` with < > & and " escaped.
void AppendEscapedHtml(std::string& html, std::string_view text);

// The FLTK font name that the window's face (SetFont) is drawn and
// measured in: the face's own name, for the font system to find it or its
// metric-compatible stand-in.
std::string FontNameForFace(std::string_view face);

// Gives `window` the icon of the application (resources/window_icon.h).
void SetWindowIcon(Fl_Window& window);

}  // namespace ui::fltk
