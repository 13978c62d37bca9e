#include "tests/support/x_close_request.h"

#include <X11/Xlib.h>

namespace testsupport {

void SendCloseRequest(const std::string& windowId) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return;
  if (!windowId.empty()) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(windowId);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", 0);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", 0));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, event.xclient.window, 0, NoEventMask, &event);
    XSync(display, 0);
  }
  XCloseDisplay(display);
}

}  // namespace testsupport
