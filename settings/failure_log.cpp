#include "settings/failure_log.h"

#include <cstdio>

#include "platform/files.h"
#include "settings/config_store.h"

namespace settings {
namespace {

bool echo = false;

}  // namespace

std::string FailureLogLine(const platform::UtcTime& time, std::string_view what) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", time.year, time.month, time.day, time.hour,
                time.minute, time.second);
  std::string line = stamp;
  for (char c : what) line.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c);
  return line;
}

bool AppendFailureLine(const std::string& path, const std::string& line) {
  if (auto attributes = platform::AttributesOf(path); attributes && attributes->size >= kFailureLogLimit)
    platform::MoveFileReplacing(path, path + ".1");
  platform::File log = platform::File::Open(path, platform::OpenMode::kAppend);
  std::string text = line + "\n";
  return log.IsOpen() && log.Write(text.data(), text.size()) == static_cast<std::int64_t>(text.size());
}

void LogFailure(std::string_view what) {
  std::string line = FailureLogLine(platform::CurrentUtcTime(), what);
  if (echo) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  }
  std::string path = ConfigFilePath(kFailureLogName);
  if (!path.empty()) AppendFailureLine(path, line);
}

void SetFailureEcho(bool toStandardError) { echo = toStandardError; }

}  // namespace settings
