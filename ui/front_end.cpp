#include "ui/front_end.h"

#include "platform/process.h"

namespace ui {

FrontEndKind ChooseFrontEnd(bool consoleRequested) {
  if (consoleRequested || !platform::HasGraphicalDisplay()) return FrontEndKind::kConsole;
  return FrontEndKind::kDesktop;
}

std::unique_ptr<WindowSystem> CreateWindowSystem(FrontEndKind kind, WindowTemplate which) {
  if (kind == FrontEndKind::kDesktop) {
    if (auto window = CreateDesktopWindow(which)) return window;
  }
  return CreateConsoleWindow(which);
}

}  // namespace ui
