// Choosing and creating the front end of a window: the desktop window, or
// the terminal when there is no display or when the user asks for it with
// --console.
#pragma once

#include <memory>

#include "ui/window_system.h"

namespace ui {

// Which window a front end shows.
enum class WindowTemplate {
  kUpdateWindow,   // "Update Tolvaro DVD": headline, message area, status line, size display, progress, 3 buttons
  kInstallWindow,  // "Tolvaro copying updated files...": one progress bar, no buttons, cannot be closed
};

enum class FrontEndKind { kDesktop, kConsole };

// The desktop when a display is there and the console was not requested.
FrontEndKind ChooseFrontEnd(bool consoleRequested);
std::unique_ptr<WindowSystem> CreateWindowSystem(FrontEndKind kind, WindowTemplate which);

// The desktop front end of the system the program is built for (FLTK on
// Linux); null when it cannot start. Defined once per system.
std::unique_ptr<WindowSystem> CreateDesktopWindow(WindowTemplate which);
// The terminal front end, the same on every system.
std::unique_ptr<WindowSystem> CreateConsoleWindow(WindowTemplate which);

}  // namespace ui
