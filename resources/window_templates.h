// The two window templates, one table for every front end: the update window
// (template 102) and the install window (template 103), with their titles,
// sizes, controls, control rectangles and tab order. Sizes are in dialog
// units of the templates' font, 8-point "MS Sans Serif"; front ends that
// place controls in pixels convert them with the font's base units, as the
// Windows dialog manager does, so that every front end starts from the same
// pixels. The update window's logic then sets its outer size from text 114
// and places every control itself; the install window keeps its template.
#pragma once

#include <cstddef>
#include <span>

namespace resources {

enum class ControlKind {
  kDefaultButton,  // a push button that Enter presses
  kButton,
  kLabel,       // static text, left-aligned
  kRightLabel,  // static text, right-aligned
  kProgressBar, // smooth, with a border
  kMessageArea, // read-only, multi-line rich edit with a vertical scroll bar
};

struct DialogRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

struct ControlTemplate {
  int id = 0;
  // The control's name in the terminal front end's line protocol.
  const char* name = "";
  ControlKind kind = ControlKind::kLabel;
  DialogRect rect;
  bool tabStop = false;
  bool enabled = true;
  bool visible = true;
};

struct WindowTemplate {
  int id = 0;
  const char* title = "";
  // The client area in dialog units.
  int width = 0;
  int height = 0;
  // Whether the user can close it (a close box, Esc).
  bool closable = true;
  // In template order, which is also the order of the tab stops.
  std::span<const ControlTemplate> controls;

  const ControlTemplate* Find(int controlId) const;
};

const WindowTemplate& UpdateWindowTemplate();
const WindowTemplate& InstallWindowTemplate();

// Dialog units to pixels for the templates' font, whose average character
// is 6 by 13 pixels (a dialog unit is a quarter of its width and an eighth
// of its height), rounded half away from zero.
int DialogUnitsToPixelsX(int units);
int DialogUnitsToPixelsY(int units);

struct PixelRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};
PixelRect ToPixels(const DialogRect& rect);

}  // namespace resources
