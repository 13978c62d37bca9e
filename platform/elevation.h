// Administrator rights. The updater runs with the user's rights; where it
// must change a folder that only an administrator may change (an
// application installed for all users), it starts a copy of itself with
// administrator rights for that one step and waits for it:
//   Windows  ShellExecuteEx with the verb "runas" (the system's prompt)
//   Linux    pkexec, found on PATH (polkit's prompt); a graphical display
//            the user has is handed on through env, since pkexec starts the
//            program with a clean environment
// The copy gets only the arguments given here; it finds its folder, its
// settings and its server as every start does.
#pragma once

#include <string>
#include <vector>

namespace platform {

enum class ElevationResult {
  kEnded,        // the copy ran with the rights and ended with exitCode
  kRefused,      // the user (or the system's policy) did not give the rights
  kUnavailable,  // there is no way to ask for them here
};

struct ElevatedRun {
  ElevationResult result = ElevationResult::kUnavailable;
  int exitCode = -1;
};

// Starts `program` with `arguments` and administrator rights, and waits
// until it ends. Blocks the calling thread for as long as the copy runs.
ElevatedRun RunElevated(const std::string& program, const std::vector<std::string>& arguments);

// The command an administrator can type to run `program` with `arguments`
// with their rights, for a message that has no other way to offer.
std::string AdministratorCommand(const std::string& program, const std::vector<std::string>& arguments);

// Whether this process runs with administrator rights (root; an elevated
// token on Windows).
bool IsElevated();

// For tests of the elevated path where the system cannot take a folder's
// rights away (under Wine every folder belongs to the user, and tests run
// as root): with HARBINOR_TEST_NO_RIGHTS set, a copy that was not started
// with administrator rights by RunElevated is to treat every folder as one
// it may not change. It can only take rights away, never give them.
bool TestDeniesRights();

}  // namespace platform
