// The desktop front end of the Windows build. Until the program has dialog
// windows of its own, the desktop shows the terminal front end, in a console
// window of its own when the program was started without one.
#include "platform/terminal.h"
#include "ui/front_end.h"

namespace ui {

std::unique_ptr<WindowSystem> CreateDesktopWindow(WindowTemplate which) {
  if (!platform::AttachTerminalIfNone()) return nullptr;
  return CreateConsoleWindow(which);
}

}  // namespace ui
