#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#define pipe(fds) _pipe(fds, 4096, _O_BINARY)
constexpr const char* kNullDevice = "NUL";
#else
#include <unistd.h>
constexpr const char* kNullDevice = "/dev/null";
#endif

#include "platform/terminal.h"
#include "tests/support/temp_folder.h"

namespace {

// Every kind of input a program may be given instead of a terminal ends:
// what it holds arrives, then the end, within a few waits.
TEST(TerminalInput, EveryKindOfInputEnds) {
  testsupport::TempFolder tmp;
  testsupport::WriteFile(tmp / "input.txt", "click 1\n");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "close\n", 6), 6);
  close(fds[1]);
  const std::pair<int, std::string> inputs[] = {{open(kNullDevice, O_RDONLY), ""},
                                                {open((tmp / "input.txt").c_str(), O_RDONLY), "click 1\n"},
                                                {fds[0], "close\n"}};
  for (const auto& [fd, expected] : inputs) {
    SCOPED_TRACE(expected);
    ASSERT_GE(fd, 0);
    std::string got;
    platform::InputState state = platform::InputState::kNothing;
    for (int wait = 0; wait < 20 && state != platform::InputState::kEnded; ++wait)
      state = platform::ReadAvailableInput(fd, got, 500);
    EXPECT_EQ(state, platform::InputState::kEnded);
    EXPECT_EQ(got, expected);
    close(fd);
  }
}

}  // namespace
