#include "platform/instance_guard.h"

#include <windows.h>

#include "platform/win_strings.h"

namespace platform {

InstanceGuard InstanceGuard::Acquire(std::string_view name) {
  InstanceGuard guard;
  // A named event in the session's namespace: it exists while any process
  // of the session holds a handle to it, so it ends with the last copy
  // however that copy ends. Only its existence counts.
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, win::WideFromAnsi(name).c_str());
  if (!event) return guard;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(event);
    guard.state_ = State::kHeldElsewhere;
    return guard;
  }
  guard.state_ = State::kAcquired;
  guard.handle_ = reinterpret_cast<std::intptr_t>(event);
  return guard;
}

void InstanceGuard::Release() {
  if (handle_ != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
  }
  state_ = State::kUnavailable;
}

}  // namespace platform
