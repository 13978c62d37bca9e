#include "platform/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace platform {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// The one raw mode there may be. The signal handler reads it, so it lives
// in plain storage and is changed only with those signals blocked.
struct RawSession {
  volatile sig_atomic_t active = 0;
  int input = -1;
  int output = -1;
  struct termios saved {};
  char leaveText[RawTerminalMode::kMaxLeaveText + 1] = {};
  volatile sig_atomic_t leaveLength = 0;
  struct sigaction previous[kSignalCount] = {};
  bool handled[kSignalCount] = {};
};

RawSession g_session;
bool g_exitHookRegistered = false;

class SignalBlock {
 public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalBlock() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t old_;
};

// Async-signal-safe: only tcsetattr and write.
void RestoreTerminal() {
  if (!g_session.active) return;
  g_session.active = 0;
  tcsetattr(g_session.input, TCSANOW, &g_session.saved);
  const char* p = g_session.leaveText;
  std::size_t left = static_cast<std::size_t>(g_session.leaveLength);
  while (left > 0) {
    ssize_t n = write(g_session.output, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void PutBackSignalHandlers() {
  for (int i = 0; i < kSignalCount; ++i) {
    if (g_session.handled[i]) sigaction(kSignals[i], &g_session.previous[i], nullptr);
    g_session.handled[i] = false;
  }
}

void OnTerminatingSignal(int sig) {
  int savedErrno = errno;
  RestoreTerminal();
  // Hand the signal to whoever had it before us (by default: the end of the
  // process), now that the terminal is sane again.
  for (int i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == sig && g_session.handled[i]) {
      sigaction(sig, &g_session.previous[i], nullptr);
      g_session.handled[i] = false;
    }
  }
  raise(sig);
  errno = savedErrno;
}

void RestoreAtExit() { RestoreTerminal(); }

void StoreLeaveText(std::string_view text) {
  std::size_t n = std::min(text.size(), RawTerminalMode::kMaxLeaveText);
  g_session.leaveLength = 0;
  std::memcpy(g_session.leaveText, text.data(), n);
  g_session.leaveLength = static_cast<sig_atomic_t>(n);
}

}  // namespace

bool IsTerminal(int stream) { return isatty(stream) == 1; }

bool AttachTerminalIfNone() {
  return fcntl(kStandardInput, F_GETFD) != -1 && fcntl(kStandardOutput, F_GETFD) != -1;
}

std::optional<TerminalSize> TerminalSizeOf(int stream) {
  struct winsize ws;
  if (ioctl(stream, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0) return std::nullopt;
  return TerminalSize{ws.ws_col, ws.ws_row};
}

RawTerminalMode RawTerminalMode::Enter(int input, int output, std::string_view leaveText) {
  RawTerminalMode mode;
  SignalBlock block;
  if (g_session.active || !IsTerminal(input)) return mode;
  struct termios saved;
  if (tcgetattr(input, &saved) != 0) return mode;
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(input, TCSANOW, &raw) != 0) return mode;

  g_session.input = input;
  g_session.output = output;
  g_session.saved = saved;
  StoreLeaveText(leaveText);
  g_session.active = 1;
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction previous;
    if (sigaction(kSignals[i], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnTerminatingSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) sigaddset(&action.sa_mask, sig);
    if (sigaction(kSignals[i], &action, nullptr) != 0) continue;
    g_session.previous[i] = previous;
    g_session.handled[i] = true;
  }
  if (!g_exitHookRegistered) g_exitHookRegistered = atexit(RestoreAtExit) == 0;
  mode.active_ = true;
  return mode;
}

void RawTerminalMode::SetLeaveText(std::string_view leaveText) {
  if (!active_) return;
  SignalBlock block;
  StoreLeaveText(leaveText);
}

void RawTerminalMode::Leave() {
  if (!active_) return;
  active_ = false;
  SignalBlock block;
  RestoreTerminal();
  PutBackSignalHandlers();
}

namespace {

// Every input wait also watches the reading end of this pipe; a wake is a
// byte written to it. Made once, on first use.
int WakePipe(int end) {
  static int ends[2] = {-1, -1};
  static std::once_flag made;
  std::call_once(made, [] {
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) ends[0] = ends[1] = -1;
  });
  return ends[end];
}

// Waits for `stream` (when it is one) or a wake; true when a wake came, which
// is then used up.
bool PollWithWake(struct pollfd& input, int timeoutMs, int& ready) {
  struct pollfd p[2] = {input, {WakePipe(0), POLLIN, 0}};
  ready = poll(p, 2, timeoutMs < 0 ? 0 : timeoutMs);
  input = p[0];
  if (ready <= 0 || !(p[1].revents & POLLIN)) return false;
  char drained[64];
  while (read(p[1].fd, drained, sizeof drained) > 0) {
  }
  return true;
}

}  // namespace

void WakeInputWaits() {
  const char byte = 1;
  // A full pipe already holds a wake.
  if (WakePipe(1) >= 0) (void)!write(WakePipe(1), &byte, 1);
}

bool WaitForWake(int timeoutMs) {
  struct pollfd none = {-1, 0, 0};
  int ready = 0;
  return PollWithWake(none, timeoutMs, ready);
}

InputState ReadAvailableInput(int stream, std::string& buffer, int timeoutMs) {
  if (stream < 0) return InputState::kEnded;
  struct pollfd p = {stream, POLLIN, 0};
  int ready = 0;
  bool woken = PollWithWake(p, timeoutMs, ready);
  if (ready < 0) return errno == EINTR || errno == EAGAIN ? InputState::kNothing : InputState::kEnded;
  if (ready == 0 || (woken && p.revents == 0)) return InputState::kNothing;
  if (p.revents & POLLNVAL) return InputState::kEnded;
  char chunk[4096];
  ssize_t n = read(stream, chunk, sizeof chunk);
  if (n > 0) {
    buffer.append(chunk, static_cast<std::size_t>(n));
    return InputState::kData;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return InputState::kNothing;
  return InputState::kEnded;
}

}  // namespace platform
