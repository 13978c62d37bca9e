#include "platform/elevation.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/win_strings.h"

namespace platform {

ElevatedRun RunElevated(const std::string& program, const std::vector<std::string>& arguments) {
  ElevatedRun run;
  if (program.empty()) return run;
  std::wstring file = win::WidePath(program);
  std::wstring parameters;
  for (const std::string& a : arguments) {
    if (!parameters.empty()) parameters += L" ";
    parameters += win::QuotedArgument(win::WideFromAnsi(a));
  }
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // The process handle, to wait for the copy; no message box of the
  // shell's own when the start fails: the caller says what happened.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) {
    run.result = GetLastError() == ERROR_CANCELLED ? ElevationResult::kRefused : ElevationResult::kUnavailable;
    return run;
  }
  if (!info.hProcess) {
    // Started, but the shell gave no handle to wait for: nothing more is
    // known of its end.
    run.result = ElevationResult::kEnded;
    return run;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  run.result = ElevationResult::kEnded;
  run.exitCode = GetExitCodeProcess(info.hProcess, &code) ? static_cast<int>(code) : -1;
  CloseHandle(info.hProcess);
  return run;
}

std::string AdministratorCommand(const std::string& program, const std::vector<std::string>& arguments) {
  std::wstring command = L"\"" + win::WidePath(program) + L"\"";
  for (const std::string& a : arguments) command += L" " + win::QuotedArgument(win::WideFromAnsi(a));
  return win::NarrowPath(command);
}

bool IsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                  elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

}  // namespace platform
