// The terminal, as far as the console front end needs it: whether a stream
// is a terminal and how large it is, raw key input that is undone however
// the program ends, and reading whatever input has arrived without blocking
// longer than asked. Streams are named by their descriptor numbers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

bool IsTerminal(int stream);

// A program started from the Windows desktop has no standard input and
// output at all: it is given a terminal window of its own. True when
// standard input and output exist afterwards.
bool AttachTerminalIfNone();

struct TerminalSize {
  int columns = 0;
  int rows = 0;
};
// The size of the terminal behind `stream`; empty when it is no terminal or
// does not know its size.
std::optional<TerminalSize> TerminalSizeOf(int stream);

// Raw key input on the terminal behind `input`: keys arrive one by one as
// they are typed and are not echoed; Ctrl-C and the other signal keys still
// work. The previous settings come back, and `leaveText` (escape sequences
// that undo what the program did to the screen) is written to `output`, when
// the object ends or is told to Leave, when the process exits, and on
// SIGINT, SIGTERM, SIGHUP or SIGQUIT, whose usual course then follows. One
// raw mode at a time: a second Enter, or an input that is no terminal, gives
// an inactive object.
class RawTerminalMode {
 public:
  static constexpr std::size_t kMaxLeaveText = 63;

  RawTerminalMode() = default;
  ~RawTerminalMode();
  RawTerminalMode(RawTerminalMode&& other) noexcept;
  RawTerminalMode& operator=(RawTerminalMode&& other) noexcept;
  RawTerminalMode(const RawTerminalMode&) = delete;
  RawTerminalMode& operator=(const RawTerminalMode&) = delete;

  static RawTerminalMode Enter(int input, int output, std::string_view leaveText);
  bool active() const { return active_; }
  // Replaces the text written when the mode ends (longer text is cut).
  void SetLeaveText(std::string_view leaveText);
  void Leave();

 private:
  bool active_ = false;
};

enum class InputState {
  kData,     // bytes were appended
  kNothing,  // nothing arrived in the time given
  kEnded,    // end of input, or an error that will not go away
};
// Waits at most `timeoutMs` (0: only looks) for input on `stream` and
// appends what has arrived, at most 4096 bytes, to `buffer`.
InputState ReadAvailableInput(int stream, std::string& buffer, int timeoutMs);
// Ends a wait in ReadAvailableInput or WaitForWake early, with nothing read
// (a worker that posts its end to the window thread); called from any
// thread. A wake that comes while no thread waits ends the next wait at once.
void WakeInputWaits();
// Waits at most `timeoutMs` for WakeInputWaits, for a window whose input has
// ended; true when it came.
bool WaitForWake(int timeoutMs);

}  // namespace platform
