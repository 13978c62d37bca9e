// Harbinor.log in the configuration folder: one line for every step that
// failed, with why (the address or file, the system's error, the byte
// count), so that a user, the vendor's support or a developer can read what
// the window only names. Each line starts with the UTC time:
//   2026-12-09 04:10:31 download: http://host/tlv5.update/dvd/a.dl_: ...
// The file is bounded: once it passes 256 KiB it becomes Harbinor.log.1
// (the one older file kept) and a new one starts. With the terminal front
// end the line also goes to standard error. Only addresses, file names and
// numbers are written: never key material.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace settings {

inline constexpr const char* kFailureLogName = "Harbinor.log";
inline constexpr std::uint64_t kFailureLogLimit = 256 * 1024;

// The line as it is written, without its line end; control characters in
// `what` become blanks, so one failure stays one line.
std::string FailureLogLine(const platform::UtcTime& time, std::string_view what);
// Appends the line to the file at `path`, first moving a file past the
// limit to `path` + ".1".
bool AppendFailureLine(const std::string& path, const std::string& line);
// The process's log: the configuration folder's Harbinor.log, and standard
// error when SetFailureEcho(true) was called.
void LogFailure(std::string_view what);
void SetFailureEcho(bool toStandardError);

}  // namespace settings
