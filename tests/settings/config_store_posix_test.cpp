// The configuration store where only Linux can set up the conditions: a
// read-only folder in a mount namespace of a child process, a writer killed
// mid-write.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/profile.h"
#include "tests/settings/config_store_test.h"
#include "tests/support/forked_child.h"

int WithConfigsUnwritable(const std::string& appFolder, const std::function<int()>& body) {
  return testsupport::RunInChild([&] { return testsupport::MakeFolderReadOnlyHere(appFolder) ? body() : kSkip; });
}

namespace {

using settings::ConfigStore;
using testsupport::ReadFile;
using testsupport::WriteFile;

TEST_F(ConfigStoreTest, KilledWriterNeverLeavesAHalfWrittenFile) {
  ConfigStore store(Env());
  std::string cfg = store.ConfigFilePath("Harbinor.cfg");
  // A large file, so that a write takes long enough to be interrupted.
  std::string padding;
  for (int i = 0; i < 20000; ++i) padding += "; comment line " + std::to_string(i) + "\n";
  WriteFile(cfg, padding + "[Harbinor]\nUpdateTime=1\n");
  for (int round = 0; round < 25; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      ConfigStore writer(Env());
      for (int i = 2;; ++i) writer.WriteSetting("UpdateTime", std::to_string(i));
    }
    usleep(2000 + 1500 * round);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::string text = ReadFile(cfg);
    ASSERT_EQ(text.rfind(padding, 0), 0u) << "round " << round << ": file damaged";
    auto value = platform::FindProfileValue(text, "Harbinor", "UpdateTime");
    ASSERT_TRUE(value && !value->empty()) << "round " << round;
  }
}

}  // namespace
