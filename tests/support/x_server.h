// An X server of the test program's own (Xvfb, on a display number it picks
// itself), and xdotool and screenshots to drive and record windows on it, as
// a user would. A test program registers the server as a global test
// environment; without Xvfb or xdotool, problem() says why and window tests
// skip.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace testsupport {

// The full path of a program on PATH, or empty.
std::string FindProgram(const std::string& name);

class XServer : public ::testing::Environment {
 public:
  static XServer* instance;

  // The screen's size and depth, as Xvfb takes them.
  explicit XServer(const char* screen = "800x600x24") : screen_(screen) {}

  void SetUp() override;
  void TearDown() override;

  const std::string& problem() const { return problem_; }
  const std::string& xdotool() const { return xdotool_; }

 private:
  std::string screen_;
  pid_t pid_ = -1;
  std::string display_;
  std::string xdotool_;
  std::string problem_;
};

// Runs xdotool with the arguments.
ProcessResult Xdo(const std::vector<std::string>& arguments);
// A screenshot of the whole screen (or of a window), kept under `name` in the
// folder named by HARBINOR_SHOT_DIR, else beside the test program; its path,
// or empty when none could be taken.
std::string Shot(const std::string& name, const std::string& window = "root");
// How many colours an image has (1 for a blank one); 0 when it cannot be
// read.
int ColourCount(const std::string& imagePath);

}  // namespace testsupport
