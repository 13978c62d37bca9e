// Facts that differ between the operating systems we build for, kept in one
// place so that no code outside platform/ needs to ask which system it is on.
#pragma once

#include <cstddef>

namespace platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kUpdaterFileName = "Harbinor.exe";
inline constexpr const char* kMainAppFileName = "Tolvaro.exe";
inline constexpr const char* kNewLine = "\r\n";
// File names follow Windows' rules: no device names such as "CON" or
// "COM1", nothing ending in a dot or a blank.
inline constexpr bool kWindowsNames = true;
// Texts from the update server that declare no charset were written on
// Windows in Windows-1252; here that is (normally) the ANSI code page the
// windows take as it is.
inline constexpr bool kLegacyTextIsLocal = true;
// Units of FileAttributes::modified and ::changed per second.
inline constexpr long long kFileTimeTicksPerSecond = 10000000;
// No name of a running program's file can be deleted while it runs.
inline constexpr bool kRunningProgramNamesLocked = true;
#else
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kUpdaterFileName = "Harbinor";
inline constexpr const char* kMainAppFileName = "Tolvaro";
inline constexpr const char* kNewLine = "\n";
inline constexpr bool kWindowsNames = false;
inline constexpr bool kLegacyTextIsLocal = false;
inline constexpr long long kFileTimeTicksPerSecond = 1000000000;
inline constexpr bool kRunningProgramNamesLocked = false;
#endif

// The parked copy of a replaced updater executable has the same name on
// every system.
inline constexpr const char* kParkedUpdaterFileName = "Harbinor.old";

// Paths live in 260-character buffers in the data model (259 characters and
// a terminator); longer paths are refused cleanly, never truncated.
inline constexpr std::size_t kMaxPathLength = 259;

}  // namespace platform
