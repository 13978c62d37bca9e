#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/text.h"
#include "platform/win_strings.h"
#include "tests/support/child_process.h"

namespace testsupport {
namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::wstring Wide(const std::string& utf8) {
  std::u16string units = platform::Utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());
}

// Our environment with the options' changes, as a block for the child.
std::wstring EnvironmentBlock(const ProcessOptions& options) {
  std::map<std::wstring, std::wstring, std::less<>> variables;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    std::wstring entry = p;
    std::size_t eq = entry.find(L'=', 1);  // names like "=C:" start with "="
    if (eq != std::wstring::npos) variables[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : options.environment) {
    if (value) {
      variables[Wide(name)] = Wide(*value);
    } else {
      variables.erase(Wide(name));
    }
  }
  std::wstring out;
  for (const auto& [name, value] : variables) out += name + L"=" + value + L'\0';
  return out + L'\0';
}

}  // namespace

// Reads the child's output on a thread of its own, so that waiting for a
// line can time out on any kind of pipe.
struct ChildProcess::Reader {
  std::mutex mutex;
  std::condition_variable arrived;
  std::string data;
  bool ended = false;
  std::thread thread;
};

ChildProcess::ChildProcess(const std::string& program, const ProcessOptions& options) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead, outWrite, inRead, inWrite;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&inRead, &inWrite, &inherit, 0))
    throw std::runtime_error("CreatePipe failed");
  // Our ends stay ours.
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine;
  for (const auto& r : options.runner) commandLine += platform::win::QuotedArgument(Wide(r)) + L" ";
  commandLine += platform::win::QuotedArgument(Wide(program));
  for (const auto& a : options.arguments) commandLine += L" " + platform::win::QuotedArgument(Wide(a));
  std::wstring environment = EnvironmentBlock(options);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = outWrite;
  PROCESS_INFORMATION info{};
  BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(), nullptr,
                                &startup, &info);
  CloseHandle(outWrite);
  CloseHandle(inRead);
  if (!started) {
    CloseHandle(outRead);
    CloseHandle(inWrite);
    throw std::runtime_error("cannot start " + program);
  }
  CloseHandle(info.hThread);
  process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
  if (!options.input.empty()) {
    DWORD written;
    WriteFile(inWrite, options.input.data(), static_cast<DWORD>(options.input.size()), &written, nullptr);
  }
  if (options.keepInputOpen) {
    inHandle_ = reinterpret_cast<std::intptr_t>(inWrite);
  } else {
    CloseHandle(inWrite);
  }
  outHandle_ = reinterpret_cast<std::intptr_t>(outRead);
  reader_ = std::make_shared<Reader>();
  reader_->thread = std::thread([r = reader_, outRead] {
    char buffer[4096];
    for (;;) {
      DWORD n = 0;
      bool ok = ReadFile(outRead, buffer, sizeof buffer, &n, nullptr) && n > 0;
      std::lock_guard<std::mutex> lock(r->mutex);
      if (!ok) {
        CloseHandle(outRead);
        r->ended = true;
        r->arrived.notify_all();
        return;
      }
      r->data.append(buffer, n);
      r->arrived.notify_all();
    }
  });
}

ChildProcess::~ChildProcess() {
  if (process_ != -1) {
    TerminateProcess(AsHandle(process_), 137);
    WaitForSingleObject(AsHandle(process_), 10000);
    CloseHandle(AsHandle(process_));
  }
  CloseInput();
  // A program the child started may hold the pipe open: the reader is not
  // waited for; it closes our end of the pipe when the pipe ends.
  if (reader_ && reader_->thread.joinable()) reader_->thread.detach();
}

void ChildProcess::WriteInput(const std::string& text) {
  if (inHandle_ == -1) return;
  DWORD written;
  WriteFile(AsHandle(inHandle_), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void ChildProcess::CloseInput() {
  if (inHandle_ != -1) CloseHandle(AsHandle(inHandle_));
  inHandle_ = -1;
}

bool ChildProcess::ReadMore(int timeoutMs) {
  std::unique_lock<std::mutex> lock(reader_->mutex);
  reader_->arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !reader_->data.empty() || reader_->ended; });
  if (!reader_->data.empty()) {
    pending_ += reader_->data;
    reader_->data.clear();
    return true;
  }
  return !reader_->ended;
}

void ChildProcess::Signal(int) {
  if (process_ != -1) TerminateProcess(AsHandle(process_), 137);
}

ProcessResult ChildProcess::Wait(int timeoutMs) {
  ProcessResult result;
  output_ += pending_;
  pending_.clear();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // Output is collected until the child has ended; what a program it
  // started writes later does not hold us up.
  for (;;) {
    bool ended = WaitForSingleObject(AsHandle(process_), 20) == WAIT_OBJECT_0;
    ReadMore(0);
    output_ += pending_;
    pending_.clear();
    if (ended) {
      DWORD code = 0;
      GetExitCodeProcess(AsHandle(process_), &code);
      result.exitCode = static_cast<int>(code);
      // The last bytes may still be on their way through the pipe.
      ReadMore(50);
      output_ += pending_;
      pending_.clear();
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      TerminateProcess(AsHandle(process_), 137);
      WaitForSingleObject(AsHandle(process_), 10000);
      break;
    }
  }
  CloseHandle(AsHandle(process_));
  process_ = -1;
  result.output = output_;
  return result;
}

}  // namespace testsupport
