// A stand-in for pkexec, for the tests of updates into a folder only root
// may change. Installed set-user-id root, it does what pkexec does once the
// user has given the rights: it runs the program (its first argument, an
// absolute path) with the rest of its arguments as root, in a clean
// environment, with PKEXEC_UID set to the caller's user id. It appends its
// arguments (tab-separated, one line per call) to "pkexec.calls" beside
// itself. With a file "pkexec.refuse" beside it, it acts as a dismissed
// prompt instead: exit code 126, nothing run.
#include <grp.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0 || argc < 2 || argv[1][0] != '/') return 127;
  std::string folder(self, static_cast<std::size_t>(n));
  folder.resize(folder.rfind('/') + 1);

  if (FILE* calls = fopen((folder + "pkexec.calls").c_str(), "a")) {
    for (int i = 1; i < argc; ++i) fprintf(calls, i + 1 < argc ? "%s\t" : "%s\n", argv[i]);
    fclose(calls);
  }
  if (access((folder + "pkexec.refuse").c_str(), F_OK) == 0) return 126;

  std::string caller = "PKEXEC_UID=" + std::to_string(getuid());
  // Called by root already (also root of a user namespace): nothing to switch.
  if (getuid() != 0 && (setgroups(0, nullptr) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0)) return 127;
  std::vector<char*> environment = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                                    const_cast<char*>("HOME=/root"), const_cast<char*>("USER=root"), caller.data()};
  // The sanitizers' settings of a test build (their leak suppressions) are
  // the test's own, not the user's: they go along.
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* value = getenv(name)) environment.push_back(strdup((std::string(name) + "=" + value).c_str()));
  environment.push_back(nullptr);
  execve(argv[1], argv + 1, environment.data());
  return 127;
}
