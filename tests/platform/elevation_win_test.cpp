// Asking for administrator rights with the shell's "runas" (under Wine,
// which has no prompt, the program simply runs): the program runs with its
// arguments, and its exit code comes back.
#include <gtest/gtest.h>

#include "platform/elevation.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(ElevationTest, RunasStartsTheProgramWithItsArgumentsAndWaitsForIt) {
  testsupport::TempFolder folder;
  const std::string program = folder / "Tolvaro.exe";
  testsupport::CopyFile(TOLVARO_BIN, program);
  platform::ElevatedRun run = platform::RunElevated(program, {"/u", "--elevated", "a b"});
  EXPECT_EQ(run.result, platform::ElevationResult::kEnded);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(testsupport::ReadFile(folder / "Tolvaro.starts"), "start\t/u\t--elevated\ta b\n");
  EXPECT_EQ(platform::AdministratorCommand("C:\\Program Files\\Tolvaro\\Harbinor.exe", {"/u"}),
            "\"C:\\Program Files\\Tolvaro\\Harbinor.exe\" /u");
}

}  // namespace
