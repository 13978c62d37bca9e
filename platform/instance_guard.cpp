// The parts of the guard that are the same on every system: the owner of
// a system handle moves and closes alike everywhere.
#include "platform/instance_guard.h"

#include <utility>

namespace platform {

InstanceGuard::~InstanceGuard() { Release(); }

InstanceGuard::InstanceGuard(InstanceGuard&& other) noexcept
    : state_(std::exchange(other.state_, State::kUnavailable)), handle_(std::exchange(other.handle_, -1)) {}

InstanceGuard& InstanceGuard::operator=(InstanceGuard&& other) noexcept {
  if (this != &other) {
    Release();
    state_ = std::exchange(other.state_, State::kUnavailable);
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

}  // namespace platform
