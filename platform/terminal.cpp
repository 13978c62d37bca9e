// The parts of this service that are the same on every system: the
// owners of a system handle move and close alike everywhere.
#include "platform/terminal.h"

#include <utility>

namespace platform {

RawTerminalMode::~RawTerminalMode() { Leave(); }

RawTerminalMode::RawTerminalMode(RawTerminalMode&& other) noexcept : active_(std::exchange(other.active_, false)) {}

RawTerminalMode& RawTerminalMode::operator=(RawTerminalMode&& other) noexcept {
  if (this != &other) {
    Leave();
    active_ = std::exchange(other.active_, false);
  }
  return *this;
}

}  // namespace platform
