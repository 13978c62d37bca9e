// The pipe of the console window's tests on Windows: descriptors of the C
// runtime, which the platform layer reads through their handles.
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/ui/console_window_test.h"

namespace consoletest {

Pipe::Pipe() {
  int fds[2];
  if (_pipe(fds, 65536, _O_BINARY | _O_NOINHERIT) != 0) throw std::runtime_error("_pipe failed");
  readEnd_ = fds[0];
  writeEnd_ = fds[1];
}

Pipe::~Pipe() {
  CloseWriteEnd();
  if (readEnd_ >= 0) _close(readEnd_);
}

void Pipe::Send(const std::string& bytes) {
  ASSERT_GE(writeEnd_, 0);
  ASSERT_EQ(_write(writeEnd_, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
}

void Pipe::CloseWriteEnd() {
  if (writeEnd_ >= 0) _close(writeEnd_);
  writeEnd_ = -1;
}

}  // namespace consoletest
