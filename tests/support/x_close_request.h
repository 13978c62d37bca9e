// The close request a window manager sends when a window's close box is
// clicked (WM_DELETE_WINDOW), sent to an X window by its id.
#pragma once

#include <string>

namespace testsupport {

void SendCloseRequest(const std::string& windowId);

}  // namespace testsupport
