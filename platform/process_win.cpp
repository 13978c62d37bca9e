#include "platform/process.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <utility>

#include "platform/win_strings.h"

namespace platform {

std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(win::NarrowPath(wide[i]));
  LocalFree(wide);
  return arguments;
}

bool LaunchDetached(const std::string& program, const std::vector<std::string>& arguments) {
  if (program.empty()) return false;
  std::wstring wideProgram = win::WidePath(program);
  // The program's path is quoted, so a blank in a folder name can never
  // make the system start another program ("C:\Program.exe").
  std::wstring commandLine = L"\"" + wideProgram + L"\"";
  for (const std::string& a : arguments) commandLine += L" " + win::QuotedArgument(win::WideFromAnsi(a));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(wideProgram.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                      CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup, &info))
    return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

int OsMajorVersion() {
  // GetVersionEx reports what the program's manifest claims to know of;
  // the kernel's own call reports the real version.
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto getVersion =
      ntdll ? reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
            : nullptr;
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (getVersion && getVersion(&info) == 0) return static_cast<int>(info.dwMajorVersion);
  return static_cast<int>(LOBYTE(LOWORD(GetVersion())));
}

std::optional<std::string> PerUserDataFolder() {
  wchar_t path[MAX_PATH];
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
    return std::nullopt;
  std::string folder = win::NarrowPath(path);
  if (folder.empty()) return std::nullopt;
  return folder;
}

bool HasGraphicalDisplay() { return true; }

void InitProcessLocale() {
  // Texts are written byte for byte: no CR is added before a line feed. A
  // program started from the desktop has no standard streams at all.
  for (FILE* stream : {stdin, stdout, stderr}) {
    if (_fileno(stream) >= 0) _setmode(_fileno(stream), _O_BINARY);
  }
}

}  // namespace platform
