// Runs a fuzz target once over every file of its seed corpora, so that the
// corpora are checked on every ordinary build (with the sanitizers when the
// build has them).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Runs every file of one folder; -1 when the folder cannot be read.
int RunFolder(const char* folder) {
  std::error_code error;
  std::filesystem::directory_iterator dir(folder, error);
  if (error) {
    std::fprintf(stderr, "cannot open corpus folder %s\n", folder);
    return -1;
  }
  int count = 0;
  for (const auto& entry : dir) {
    if (entry.path().filename().string()[0] == '.') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Copy into an exact-size allocation so that the sanitizers see any
    // read past the end.
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    ++count;
  }
  return count;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER...\n", argv[0]);
    return 2;
  }
  int count = 0;
  for (int arg = 1; arg < argc; ++arg) {
    int run = RunFolder(argv[arg]);
    if (run < 0) return 2;
    count += run;
  }
  std::printf("%d corpus files run\n", count);
  return count > 0 ? 0 : 1;
}
