// Asking for administrator rights through pkexec, found on PATH; a stand-in
// plays pkexec (the tests run as root, so it needs no set-user-id bit here).
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/elevation.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::ElevationResult;
using testsupport::ReadFile;

TEST(ElevationTest, RunsThroughPkexecAndTellsARefusalFromNoWayToAsk) {
  struct Case {
    const char* name;
    const char* pkexec;  // "stand-in", "refusing", a script's text, or "" for none
    ElevationResult result;
    std::string call;  // what pkexec was asked to run
  };
  const Case kCases[] = {
      {"the rights given", "stand-in", ElevationResult::kEnded,
       "/usr/bin/env\tDISPLAY=:7\tXAUTHORITY=/home/x/.Xauthority\t%Tolvaro\t/u\t--elevated\n"},
      {"the prompt dismissed", "refusing", ElevationResult::kRefused, "/usr/bin/env"},
      {"not authorized", "#!/bin/sh\nexit 127\n", ElevationResult::kUnavailable, ""},
      {"no pkexec", "", ElevationResult::kUnavailable, ""},
  };
  std::string path = getenv("PATH");
  setenv("DISPLAY", ":7", 1);
  setenv("HOME", "/home/x", 1);
  unsetenv("XAUTHORITY");
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    testsupport::TempFolder folder;
    testsupport::CopyFile(TOLVARO_BIN, folder / "Tolvaro");
    std::string pkexec = c.pkexec;
    if (pkexec == "stand-in" || pkexec == "refusing") {
      testsupport::CopyFile(FAKE_PKEXEC_BIN, folder / "pkexec");
      if (pkexec == "refusing") testsupport::WriteFile(folder / "pkexec.refuse", "");
    } else if (!pkexec.empty()) {
      testsupport::WriteFile(folder / "pkexec", pkexec);
      chmod((folder / "pkexec").c_str(), 0755);
    }
    setenv("PATH", (folder.path() + ":/usr/bin:/bin").c_str(), 1);
    platform::ElevatedRun run = platform::RunElevated(folder / "Tolvaro", {"/u", "--elevated"});
    EXPECT_EQ(run.result, c.result);
    std::string call = c.call;
    if (auto at = call.find('%'); at != std::string::npos) call.replace(at, 1, folder.path() + "/");
    EXPECT_EQ(ReadFile(folder / "pkexec.calls").substr(0, call.size()), call);
    bool ran = c.result == ElevationResult::kEnded;
    EXPECT_EQ(run.exitCode, ran ? 0 : -1);
    EXPECT_EQ(ReadFile(folder / "Tolvaro.starts"), ran ? "start\t/u\t--elevated\n" : "");
  }
  setenv("PATH", path.c_str(), 1);
  unsetenv("DISPLAY");
  EXPECT_EQ(platform::AdministratorCommand("/opt/it's/Harbinor", {"/u"}), "sudo '/opt/it'\\''s/Harbinor' '/u'");
}

}  // namespace
