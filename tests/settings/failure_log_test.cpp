// The failure log's lines, and its bound: past the limit the file becomes
// the one older file, and a new one starts.
#include "settings/failure_log.h"

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace {

TEST(FailureLogTest, OneLinePerFailureAndOneOlderFile) {
  EXPECT_EQ(settings::FailureLogLine({2026, 12, 9, 4, 10, 31}, "download: a\r\nb\tc"),
            "2026-12-09 04:10:31 download: a  b c");
  testsupport::TempFolder folder;
  const std::string log = folder / "Harbinor.log";
  const std::string line(1000, 'x');
  std::size_t written = 0;
  while (written < settings::kFailureLogLimit) {
    ASSERT_TRUE(settings::AppendFailureLine(log, line));
    written += line.size() + 1;
  }
  EXPECT_FALSE(testsupport::PathExists(log + ".1"));
  ASSERT_TRUE(settings::AppendFailureLine(log, "newest"));
  EXPECT_EQ(testsupport::ReadFile(log), "newest\n");
  EXPECT_EQ(testsupport::ReadFile(log + ".1").size(), written);
}

}  // namespace
