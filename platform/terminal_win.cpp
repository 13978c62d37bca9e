#include "platform/terminal.h"

#include <windows.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {
namespace {

// The standard streams are the process's own (a program without a console
// may have been given new ones); any other number is a descriptor of the C
// runtime, such as one end of a pipe made with _pipe.
HANDLE StreamHandle(int stream) {
  switch (stream) {
    case kStandardInput: return GetStdHandle(STD_INPUT_HANDLE);
    case kStandardOutput: return GetStdHandle(STD_OUTPUT_HANDLE);
    case kStandardError: return GetStdHandle(STD_ERROR_HANDLE);
    default: return stream < 0 ? nullptr : reinterpret_cast<HANDLE>(_get_osfhandle(stream));
  }
}

bool ValidHandle(HANDLE h) { return h && h != INVALID_HANDLE_VALUE; }

// The one raw mode there may be, restored by its owner, at exit and on
// Ctrl-C, Ctrl-Break or the closing of the console.
struct RawSession {
  std::mutex mutex;
  bool active = false;
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  DWORD savedInputMode = 0;
  DWORD savedOutputMode = 0;
  UINT savedOutputCodePage = 0;
  std::string leaveText;
};

RawSession g_session;
bool g_hooksRegistered = false;

void RestoreConsole() {
  std::lock_guard<std::mutex> lock(g_session.mutex);
  if (!g_session.active) return;
  g_session.active = false;
  DWORD written = 0;
  if (!g_session.leaveText.empty())
    WriteFile(g_session.output, g_session.leaveText.data(), static_cast<DWORD>(g_session.leaveText.size()), &written,
              nullptr);
  SetConsoleMode(g_session.input, g_session.savedInputMode);
  SetConsoleMode(g_session.output, g_session.savedOutputMode);
  if (g_session.savedOutputCodePage) SetConsoleOutputCP(g_session.savedOutputCodePage);
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  RestoreConsole();
  return FALSE;  // the usual course follows: the process ends
}

void RestoreAtExit() { RestoreConsole(); }

// A wake for the input waits (WakeInputWaits), taken by the first wait that
// sees it.
std::atomic<bool> g_wakePending{false};

bool TakeWake() { return g_wakePending.exchange(false); }

// Input is read by a thread of its own, one per stream, with blocking
// reads: pipes and consoles alike, and under every system that runs us,
// without asking whether data is waiting (which not every pipe can tell).
// The thread reads its own duplicate of the stream's handle, so that the
// stream's owner may close the stream at any time; the reader lives as long
// as its thread or its entry in the table of readers.
class InputReader {
 public:
  static std::shared_ptr<InputReader> Start(HANDLE stream) {
    auto reader = std::make_shared<InputReader>(stream);
    std::thread([reader] { reader->Run(); }).detach();
    return reader;
  }

  explicit InputReader(HANDLE stream) : stream_(stream), handle_(stream) {
    HANDLE self = GetCurrentProcess();
    owned_ = DuplicateHandle(self, stream, self, &handle_, 0, FALSE, DUPLICATE_SAME_ACCESS);
    if (!owned_) handle_ = stream;
  }
  ~InputReader() {
    if (owned_) CloseHandle(handle_);
  }
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;

  // Whether `stream` still names what this reader reads. A closed handle's
  // value (and its descriptor number) comes back for the next pipe, so the
  // objects are compared where the system can (Windows 10 and Wine), else
  // the handle values.
  bool Reads(HANDLE stream) const {
    using CompareObjects = BOOL(WINAPI*)(HANDLE, HANDLE);
    static HMODULE kernel = GetModuleHandleW(L"kernelbase.dll");
    static auto compare = kernel ? reinterpret_cast<CompareObjects>(reinterpret_cast<void*>(
                                       GetProcAddress(kernel, "CompareObjectHandles")))
                                 : nullptr;
    return stream == stream_ && (!compare || compare(stream, handle_));
  }

  // Lets a wait in Take see a wake.
  void Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    arrived_.notify_all();
  }

  InputState Take(std::string& buffer, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                      [this] { return !pending_.empty() || ended_ || g_wakePending.load(); });
    TakeWake();
    if (!pending_.empty()) {
      std::size_t n = std::min<std::size_t>(pending_.size(), 4096);
      buffer.append(pending_, 0, n);
      pending_.erase(0, n);
      return InputState::kData;
    }
    return ended_ ? InputState::kEnded : InputState::kNothing;
  }

 private:
  void Run() {
    char chunk[4096];
    for (;;) {
      DWORD n = 0;
      BOOL ok = ReadFile(handle_, chunk, sizeof chunk, &n, nullptr);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ok || n == 0) {
        // A console gives 0 bytes for a Ctrl-Z line; a pipe, a file and
        // every other character device (the NUL device, which gives 0 bytes
        // at every read) only at their end.
        DWORD mode = 0;
        if (ok && GetConsoleMode(handle_, &mode)) continue;
        ended_ = true;
        arrived_.notify_all();
        return;
      }
      pending_.append(chunk, n);
      arrived_.notify_all();
    }
  }

  HANDLE stream_;  // the handle as the stream's owner knows it
  HANDLE handle_;  // the one the thread reads
  bool owned_ = false;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string pending_;
  bool ended_ = false;
};

// One reader per stream number, replaced when the number has come to name
// another stream; a replaced reader whose thread is still blocked in a read
// lives on with that thread.
struct Readers {
  std::mutex mutex;
  std::map<int, std::shared_ptr<InputReader>> byStream;
};
Readers& AllReaders() {
  static Readers readers;
  return readers;
}

// Where WaitForWake waits.
struct WakeWait {
  std::mutex mutex;
  std::condition_variable woken;
};
WakeWait& Waiting() {
  static WakeWait wait;
  return wait;
}

}  // namespace

bool IsTerminal(int stream) {
  DWORD mode;
  HANDLE h = StreamHandle(stream);
  return ValidHandle(h) && GetConsoleMode(h, &mode);
}

bool AttachTerminalIfNone() {
  if (ValidHandle(StreamHandle(kStandardInput)) && ValidHandle(StreamHandle(kStandardOutput))) return true;
  if (!AllocConsole()) return false;
  // The C runtime's streams follow the new console.
  FILE* ignored;
  freopen_s(&ignored, "CONIN$", "rb", stdin);
  freopen_s(&ignored, "CONOUT$", "wb", stdout);
  freopen_s(&ignored, "CONOUT$", "wb", stderr);
  return ValidHandle(StreamHandle(kStandardInput)) && ValidHandle(StreamHandle(kStandardOutput));
}

std::optional<TerminalSize> TerminalSizeOf(int stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = StreamHandle(stream);
  if (!ValidHandle(h) || !GetConsoleScreenBufferInfo(h, &info)) return std::nullopt;
  int columns = info.srWindow.Right - info.srWindow.Left + 1;
  int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  if (columns <= 0 || rows <= 0) return std::nullopt;
  return TerminalSize{columns, rows};
}

RawTerminalMode RawTerminalMode::Enter(int input, int output, std::string_view leaveText) {
  RawTerminalMode mode;
  HANDLE in = StreamHandle(input);
  HANDLE out = StreamHandle(output);
  DWORD inMode, outMode;
  if (!ValidHandle(in) || !ValidHandle(out) || !GetConsoleMode(in, &inMode) || !GetConsoleMode(out, &outMode))
    return mode;
  {
    std::lock_guard<std::mutex> lock(g_session.mutex);
    if (g_session.active) return mode;
    // Keys arrive one by one as escape sequences, not echoed; Ctrl-C still
    // ends the program. The output understands the same escape sequences
    // and takes our texts in the ANSI code page.
    DWORD raw = (inMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_PROCESSED_INPUT |
                ENABLE_VIRTUAL_TERMINAL_INPUT;
    if (!SetConsoleMode(in, raw)) return mode;
    if (!SetConsoleMode(out, outMode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
      SetConsoleMode(in, inMode);
      return mode;
    }
    g_session.savedOutputCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(GetACP());
    g_session.input = in;
    g_session.output = out;
    g_session.savedInputMode = inMode;
    g_session.savedOutputMode = outMode;
    g_session.leaveText.assign(leaveText.substr(0, kMaxLeaveText));
    g_session.active = true;
  }
  // The C runtime writes to a console in small pieces; a frame goes out
  // whole when the program flushes it.
  if (out == GetStdHandle(STD_OUTPUT_HANDLE)) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  if (!g_hooksRegistered) {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    g_hooksRegistered = std::atexit(RestoreAtExit) == 0;
  }
  mode.active_ = true;
  return mode;
}

void RawTerminalMode::SetLeaveText(std::string_view leaveText) {
  if (!active_) return;
  std::lock_guard<std::mutex> lock(g_session.mutex);
  g_session.leaveText.assign(leaveText.substr(0, kMaxLeaveText));
}

void RawTerminalMode::Leave() {
  if (!active_) return;
  active_ = false;
  RestoreConsole();
}

void WakeInputWaits() {
  g_wakePending = true;
  {
    std::lock_guard<std::mutex> lock(Waiting().mutex);
    Waiting().woken.notify_all();
  }
  Readers& readers = AllReaders();
  std::lock_guard<std::mutex> lock(readers.mutex);
  for (auto& [stream, reader] : readers.byStream)
    if (reader) reader->Wake();
}

bool WaitForWake(int timeoutMs) {
  std::unique_lock<std::mutex> lock(Waiting().mutex);
  Waiting().woken.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                           [] { return g_wakePending.load(); });
  return TakeWake();
}

InputState ReadAvailableInput(int stream, std::string& buffer, int timeoutMs) {
  HANDLE h = StreamHandle(stream);
  if (!ValidHandle(h)) return InputState::kEnded;
  std::shared_ptr<InputReader> reader;
  {
    Readers& readers = AllReaders();
    std::lock_guard<std::mutex> lock(readers.mutex);
    std::shared_ptr<InputReader>& known = readers.byStream[stream];
    if (!known || !known->Reads(h)) known = InputReader::Start(h);
    reader = known;
  }
  return reader->Take(buffer, timeoutMs);
}

}  // namespace platform
