// A stand-in for the main application, Tolvaro. It does nothing but record
// how it was started: one line per start is appended to "Tolvaro.starts"
// beside the program, "start" followed by each argument after a tab (tabs,
// line ends and backslashes in arguments are escaped as \t, \n, \r, \\).
// It also says so on standard output. With TOLVARO_STAY_MS set it stays
// running that long afterwards, as a real application would. With
// TOLVARO_RECORD_RIGHTS set the line ends with a tab and "(administrator)"
// or "(user)": whether it was started with administrator rights.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "build_config.h"
#include "platform/clock.h"
#include "platform/elevation.h"
#include "platform/files.h"
#include "platform/process.h"
#include "settings/app_paths.h"

// The version this build of the stand-in reports; a newer release built
// from the same code says so.
#ifndef TOLVARO_VERSION_TEXT
#define TOLVARO_VERSION_TEXT HARBINOR_VERSION_TEXT
#endif

namespace {

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string line = "start";
  std::string shown;
  for (const std::string& a : platform::ProgramArguments(argc, argv)) {
    line += '\t';
    line += Escape(a);
    shown += (shown.empty() ? "" : " ") + a;
  }
  if (std::getenv("TOLVARO_RECORD_RIGHTS"))
    line += platform::IsElevated() ? "\t(administrator)" : "\t(user)";
  line += "\n";
  std::string record = settings::FolderOf(platform::ModulePath()) + "Tolvaro.starts";
  platform::File f = platform::File::Open(record, platform::OpenMode::kAppend);
  bool recorded = f.IsOpen() && f.Write(line.data(), line.size()) == static_cast<long long>(line.size());
  f.Close();  // the record is free for the next start while this one stays
  std::printf("Tolvaro %s started with arguments: %s\n", TOLVARO_VERSION_TEXT, shown.c_str());
  std::fflush(stdout);
  if (const char* stay = std::getenv("TOLVARO_STAY_MS")) platform::SleepMs(static_cast<unsigned>(std::atoi(stay)));
  if (!recorded) std::fprintf(stderr, "Tolvaro: cannot record the start in %s\n", record.c_str());
  return recorded ? 0 : 1;
}
