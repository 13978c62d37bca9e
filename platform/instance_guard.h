// The single-instance guard: marks this process as the running copy of the
// program for the current user. The mark vanishes with the process however
// it ends, even when it is killed, so a crashed copy never blocks the next
// start.
//
// On Windows the mark is a named event of that name in the session, as
// other programs know it. Elsewhere it is a lock (flock) on a file in a
// folder found by the user id alone, so that every session of the user finds
// the same one whatever its environment (XDG_RUNTIME_DIR, TMPDIR), and that
// no other user can make or hold it: the folder "/tmp/harbinor-<uid>", made
// with mode 0700 and used only while it is a real folder of the user's own
// that nobody else may write. When someone else has taken that name, the
// folder ".harbinor" in the user's home folder (from the password database)
// takes its place. A test puts its guards into a private folder of its own
// with the variable HARBINOR_TEST_GUARD_FOLDER, which no session sets.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

class InstanceGuard {
 public:
  enum class State {
    kAcquired,      // this process is the only copy
    kHeldElsewhere, // another copy holds the guard
    kUnavailable,   // no guard could be made; run as the only copy
  };

  InstanceGuard() = default;
  ~InstanceGuard();
  InstanceGuard(InstanceGuard&& other) noexcept;
  InstanceGuard& operator=(InstanceGuard&& other) noexcept;
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  static InstanceGuard Acquire(std::string_view name);
  State state() const { return state_; }
  void Release();

 private:
  State state_ = State::kUnavailable;
  std::intptr_t handle_ = -1;
};

}  // namespace platform
