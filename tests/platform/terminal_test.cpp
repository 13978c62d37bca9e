#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <string>

#include "platform/terminal.h"
#include "tests/support/temp_folder.h"

namespace {

#ifdef _WIN32
constexpr const char* kNullDevice = "NUL";
int OpenForReading(const std::string& path) { return _open(path.c_str(), _O_RDONLY | _O_BINARY); }
int MakePipe(int fds[2]) { return _pipe(fds, 4096, _O_BINARY); }
int WriteTo(int fd, const std::string& bytes) { return _write(fd, bytes.data(), static_cast<unsigned>(bytes.size())); }
int CloseFd(int fd) { return _close(fd); }
#else
constexpr const char* kNullDevice = "/dev/null";
int OpenForReading(const std::string& path) { return open(path.c_str(), O_RDONLY); }
int MakePipe(int fds[2]) { return pipe(fds); }
int WriteTo(int fd, const std::string& bytes) { return static_cast<int>(write(fd, bytes.data(), bytes.size())); }
int CloseFd(int fd) { return close(fd); }
#endif

// Every kind of input a program may be given instead of a terminal ends:
// what it holds arrives, then the end, within a few waits.
TEST(TerminalInput, EveryKindOfInputEnds) {
  testsupport::TempFolder tmp;
  testsupport::WriteFile(tmp / "input.txt", "click 1\n");
  struct Case {
    const char* name;
    std::string expected;
    int (*open)(const testsupport::TempFolder&);
  };
  const Case cases[] = {
      {"the null device", "", [](const testsupport::TempFolder&) { return OpenForReading(kNullDevice); }},
      {"a file", "click 1\n", [](const testsupport::TempFolder& t) { return OpenForReading(t / "input.txt"); }},
      {"a closed pipe", "close\n",
       [](const testsupport::TempFolder&) {
         int fds[2];
         if (MakePipe(fds) != 0) return -1;
         WriteTo(fds[1], "close\n");
         CloseFd(fds[1]);
         return fds[0];
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = c.open(tmp);
    ASSERT_GE(fd, 0);
    std::string got;
    platform::InputState state = platform::InputState::kNothing;
    for (int wait = 0; wait < 20 && state != platform::InputState::kEnded; ++wait)
      state = platform::ReadAvailableInput(fd, got, 500);
    EXPECT_EQ(state, platform::InputState::kEnded);
    EXPECT_EQ(got, c.expected);
    CloseFd(fd);
  }
}

}  // namespace
