// Test code run in a forked child, for what must not touch the test process
// (a read-only mount, a process that is killed). Linux only.
#pragma once

#include <functional>
#include <string>

namespace testsupport {

// Runs `body` in a forked child and returns its exit code (or 128 + the
// signal that ended it). Nothing the child does reaches the test process.
int RunInChild(const std::function<int()>& body);

// In a child made by RunInChild: gives the child its own mount namespace
// and makes `folder` read-only there, so that even root cannot write it.
// Returns false when the system does not allow it.
bool MakeFolderReadOnlyHere(const std::string& folder);

}  // namespace testsupport
