#include <gtest/gtest.h>

#include "app/updater_app.h"

namespace {

using app::RunMode;

struct ModeCase {
  const char* arguments;
  RunMode mode;
};

class RunModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(RunModeTest, OnlyTheFirstTwoCharactersCount) {
  const ModeCase& c = GetParam();
  EXPECT_EQ(app::SelectRunMode(c.arguments), c.mode) << "arguments: \"" << c.arguments << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, RunModeTest,
    ::testing::Values(ModeCase{"/u", RunMode::kInstall}, ModeCase{"-u", RunMode::kInstall},
                      ModeCase{"/U", RunMode::kInstall}, ModeCase{"-U", RunMode::kInstall},
                      ModeCase{"/uninstall", RunMode::kInstall}, ModeCase{"-update now", RunMode::kInstall},
                      ModeCase{"/c", RunMode::kSilentCheck}, ModeCase{"-C", RunMode::kSilentCheck},
                      ModeCase{"/check --console", RunMode::kSilentCheck}, ModeCase{"", RunMode::kInteractive},
                      ModeCase{"u", RunMode::kInteractive}, ModeCase{"c", RunMode::kInteractive},
                      ModeCase{"/", RunMode::kInteractive}, ModeCase{"-", RunMode::kInteractive},
                      ModeCase{"--u", RunMode::kInteractive}, ModeCase{"--console", RunMode::kInteractive},
                      ModeCase{"/x", RunMode::kInteractive}, ModeCase{" /u", RunMode::kInteractive},
                      ModeCase{"\\u", RunMode::kInteractive}, ModeCase{"uu", RunMode::kInteractive}));

}  // namespace
