// Asking for administrator rights through pkexec, found on PATH; a stand-in
// plays pkexec (the tests run as root, so it needs no set-user-id bit here).
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <optional>

#include "platform/elevation.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::ElevationResult;
using testsupport::ReadFile;
using testsupport::WriteFile;

// Sets an environment variable for the life of the object.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  ~ScopedVariable() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ElevationTest, RunsThroughPkexecAndTellsARefusalFromNoWayToAsk) {
  struct Case {
    const char* name;
    const char* pkexec;  // "stand-in", "refusing", a script's text, or "" for none
    std::optional<std::string> display;
    ElevationResult result;
    std::string calls;  // after the folder
  };
  const Case kCases[] = {
      {"the rights given", "stand-in", std::nullopt, ElevationResult::kEnded, "Tolvaro\t/u\t--elevated\n"},
      {"with a display", "stand-in", ":7", ElevationResult::kEnded,
       "/usr/bin/env\tDISPLAY=:7\tXAUTHORITY=/home/x/.Xauthority\t"},
      {"the prompt dismissed", "refusing", std::nullopt, ElevationResult::kRefused, "Tolvaro\t/u\t--elevated\n"},
      {"not authorized", "#!/bin/sh\nexit 127\n", std::nullopt, ElevationResult::kUnavailable, ""},
      {"no pkexec", "", std::nullopt, ElevationResult::kUnavailable, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder folder;
    const std::string program = folder / "Tolvaro";
    testsupport::CopyFile(TOLVARO_BIN, program);
    std::string pkexec = c.pkexec;
    if (pkexec == "stand-in" || pkexec == "refusing") {
      testsupport::CopyFile(FAKE_PKEXEC_BIN, folder / "pkexec");
      if (pkexec == "refusing") WriteFile(folder / "pkexec.refuse", "");
    } else if (!pkexec.empty()) {
      WriteFile(folder / "pkexec", pkexec);
      chmod((folder / "pkexec").c_str(), 0755);
    }
    ScopedVariable path("PATH", folder.path() + ":/usr/bin:/bin");
    ScopedVariable display("DISPLAY", c.display);
    ScopedVariable authority("XAUTHORITY", std::nullopt);
    ScopedVariable home("HOME", std::string("/home/x"));
    platform::ElevatedRun run = platform::RunElevated(program, {"/u", "--elevated"});
    EXPECT_EQ(run.result, c.result);
    std::string calls = ReadFile(folder / "pkexec.calls");
    EXPECT_NE(calls.find(c.calls), std::string::npos) << calls;
    if (c.result != ElevationResult::kEnded) {
      EXPECT_EQ(ReadFile(folder / "Tolvaro.starts"), "") << "nothing ran";
      continue;
    }
    EXPECT_EQ(run.exitCode, 0);
    if (!c.display) {
      EXPECT_EQ(ReadFile(folder / "Tolvaro.starts"), "start\t/u\t--elevated\n");
    }
  }
  EXPECT_EQ(platform::AdministratorCommand("/opt/it's/Harbinor", {"/u"}), "sudo '/opt/it'\\''s/Harbinor' '/u'");
}

}  // namespace
