#include "platform/shell.h"

#include <windows.h>
#include <htmlhelp.h>
#include <shellapi.h>

#include "platform/files.h"
#include "platform/win_strings.h"

namespace platform {

bool OpenHelpTopic(const std::string& chmPath, const std::string& topic) {
  if (chmPath.empty() || topic.empty() || !Exists(chmPath)) return false;
  std::wstring target = win::WidePath(chmPath) + L"::" + (topic[0] == '/' ? L"" : L"/") + win::WidePath(topic);
  // The viewer is loaded when help is asked for, so that a system without
  // it still runs the updater.
  using HtmlHelpFunction = HWND(WINAPI*)(HWND, LPCWSTR, UINT, DWORD_PTR);
  static HMODULE viewer = LoadLibraryW(L"hhctrl.ocx");
  auto htmlHelp = viewer ? reinterpret_cast<HtmlHelpFunction>(
                               reinterpret_cast<void*>(GetProcAddress(viewer, "HtmlHelpW")))
                         : nullptr;
  return htmlHelp && htmlHelp(GetDesktopWindow(), target.c_str(), HH_DISPLAY_TOPIC, 0) != nullptr;
}

bool OpenUrl(std::string_view link) {
  auto address = WebAddressOfLink(link);
  if (!address) return false;
  // Only web and mail addresses get here, so the shell can only hand them
  // to the browser or the mail program, never start a file of ours.
  HINSTANCE result =
      ShellExecuteW(nullptr, L"open", win::WideFromAnsi(*address).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace platform
