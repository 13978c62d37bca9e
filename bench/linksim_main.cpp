// harbinor_linksim: the link simulator as a program (see linksim.h and
// --help). SIGTERM or SIGINT ends it; SIGUSR1 writes the byte counts.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/linksim.h"

namespace {

linksim::Link* running = nullptr;

void OnSignal(int number) {
  if (!running) return;
  if (number == SIGUSR1)
    running->RequestReport();
  else
    running->Stop();
}

// Written beside and renamed, so that a reader never sees half a line.
void WriteCounts(const std::string& path, const linksim::Counts& counts) {
  if (path.empty()) return;
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << linksim::CountsLine(counts);
  }
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error, countsPath;
  bool help = false;
  auto options = linksim::ParseArguments(arguments, error, help);
  if (help) {
    std::fputs(linksim::kHelpText, stdout);
    return 0;
  }
  if (!options) {
    std::fprintf(stderr, "harbinor_linksim: %s (see --help)\n", error.c_str());
    return 2;
  }
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i)
    if (arguments[i] == "--counts") countsPath = arguments[i + 1];

  linksim::Link link(*options);
  if (!link.Listen(error)) {
    std::fprintf(stderr, "harbinor_linksim: %s\n", error.c_str());
    return 1;
  }
  running = &link;
  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGTERM, SIGINT, SIGUSR1}) sigaction(number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // The first counts say that the link is up.
  WriteCounts(countsPath, link.counts());
  link.Run([&countsPath](const linksim::Counts& counts) { WriteCounts(countsPath, counts); });
  running = nullptr;
  return 0;
}
