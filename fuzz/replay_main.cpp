// Runs a fuzz target once over every file of its seed corpus, so that the
// corpus is checked on every ordinary build (with the sanitizers when the
// build has them).
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
    return 2;
  }
  DIR* dir = opendir(argv[1]);
  if (!dir) {
    std::fprintf(stderr, "cannot open corpus folder %s\n", argv[1]);
    return 2;
  }
  int count = 0;
  while (struct dirent* d = readdir(dir)) {
    if (d->d_name[0] == '.') continue;
    std::string path = std::string(argv[1]) + "/" + d->d_name;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Copy into an exact-size allocation so that the sanitizers see any
    // read past the end.
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    ++count;
  }
  closedir(dir);
  std::printf("%d corpus files run\n", count);
  return count > 0 ? 0 : 1;
}
