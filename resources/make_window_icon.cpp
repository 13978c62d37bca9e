// Writes the window icon as a Windows .ico file: run it after a change to
// the picture to renew resources/window_icon.ico, which the Windows build
// compiles in (a test checks that the two agree).
#include <cstdio>
#include <fstream>

#include "resources/window_icon.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.ico\n", argv[0]);
    return 2;
  }
  std::vector<std::uint8_t> bytes = resources::WindowIconFile();
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return out.good() ? 0 : 1;
}
